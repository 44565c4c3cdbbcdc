#include "secfunc.hpp"

#include <algorithm>
#include <cstring>

#include "hex.hpp"

int countList(std::string_view str)
{
    if (str.empty())
        return 0;
    return static_cast<int>(std::count(str.begin(), str.end(), ',')) + 1;
}

std::string getAtPos(std::string_view str, int pos)
{
    // The private copy holds at most 1999 characters.
    std::string_view copy = cutText(str, 1999);
    if (pos < 0)
        return std::string(copy);
    std::size_t start = 0;
    for (int i = 0; i < pos; ++i) {
        std::size_t comma = copy.find(',', start);
        if (comma == std::string_view::npos)
            break;
        start = comma + 1;
    }
    start = copy.find_first_not_of(',', start);
    if (start == std::string_view::npos)
        return std::string();
    return std::string(copy.substr(start, copy.find(',', start) - start));
}

int findItem(std::string_view item, std::string_view list)
{
    int n = countList(list);
    for (int p = 0; p < n; ++p)
        if (getAtPos(list, p) == item)
            return p;
    return -1;
}

namespace {

// Appends `entry` when the result stays within `cap` characters.
bool appendWithin(std::string& out, const std::string& entry, std::size_t cap)
{
    if (out.size() + entry.size() > cap)
        return false;
    out += entry;
    return true;
}

} // namespace

std::string fmtList(std::string_view list, std::size_t cap)
{
    std::string out;
    int n = countList(list);
    for (int p = 0; p < n; ++p)
        if (!appendWithin(out, std::to_string(p + 1) + ". " + getAtPos(list, p) + "\\n", cap))
            break;
    return out;
}

std::string fmtList2(std::string_view list, std::size_t cap)
{
    std::string out;
    int n = countList(list);
    for (int p = 0; p < n; ++p)
        if (!appendWithin(out, (p ? ",'" : "'") + getAtPos(list, p) + "'", cap))
            break;
    return out;
}

std::string_view cutText(std::string_view s, std::size_t max_bytes)
{
    if (s.size() <= max_bytes)
        return s;
    std::size_t n = max_bytes;
    // Back off continuation bytes (10xxxxxx) so no character is split.
    while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80)
        --n;
    return s.substr(0, n);
}

void copyText(char* dst, std::size_t cap, std::string_view src)
{
    if (cap == 0)
        return;
    std::string_view cut = cutText(src, cap - 1);
    if (!cut.empty()) // an empty view may have no storage at all
        std::memmove(dst, cut.data(), cut.size());
    dst[cut.size()] = '\0';
}

bool appendItem(std::string& list, std::string_view item, bool first)
{
    std::size_t need = list.size() + item.size() + (first ? 0 : 1);
    if (need > LIST_MAX)
        return false;
    if (!first)
        list += ',';
    list += item;
    return true;
}

bool unreserved(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_' || c == '.' || c == '~';
}

std::string percentEncode(std::string_view s, bool (*keep)(unsigned char))
{
    std::string out;
    for (unsigned char c : s) {
        if (keep(c)) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            appendHex(out, c, true);
        }
    }
    return out;
}
