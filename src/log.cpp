#include "log.hpp"

#include <cstdarg>
#include <string>

#include "hex.hpp"

std::string logSafe(std::string_view s, bool keep_tabs)
{
    std::string out;
    out.reserve(s.size());
    // Runs of plain characters are copied whole.
    std::size_t run = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        bool c1 =
            c == 0xc2 && i + 1 < s.size() && (static_cast<unsigned char>(s[i + 1]) & 0xe0) == 0x80;
        bool control = c < 0x20 || c == 0x7f || c1;
        if (!control || (keep_tabs && c == '\t'))
            continue;
        out.append(s.data() + run, i - run);
        for (std::size_t k = i; k <= i + (c1 ? 1 : 0); ++k) {
            unsigned char b = static_cast<unsigned char>(s[k]);
            out += "\\x";
            appendHex(out, b);
        }
        i += c1 ? 1 : 0;
        run = i + 1;
    }
    out.append(s.data() + run, s.size() - run);
    return out;
}

void logLine(FILE* stream, const char* fmt, ...)
{
    char text[2048];
    va_list ap, again;
    va_start(ap, fmt);
    va_copy(again, ap);
    int n = std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    if (n < 0) {
        va_end(again);
        return;
    }
    if (static_cast<std::size_t>(n) < sizeof text) {
        va_end(again);
        std::fwrite(text, 1, static_cast<std::size_t>(n), stream);
        return;
    }
    std::string line(static_cast<std::size_t>(n), '\0');
    std::vsnprintf(line.data(), line.size() + 1, fmt, again);
    va_end(again);
    std::fwrite(line.data(), 1, line.size(), stream);
}
