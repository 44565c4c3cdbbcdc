// Comma lists and fixed-capacity texts.
//
// A comma list is a text of items separated by single commas, with no blanks,
// quoting or escaping; the empty text is the empty list.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unistd.h>

// Longest comma list the daemon holds, and the longest rendering of one.
constexpr std::size_t LIST_MAX = 999;

int countList(std::string_view str);
// The item at a zero-based position; a position past the end gives the last
// item, a negative one the whole list; no item at all gives the empty text.
std::string getAtPos(std::string_view str, int pos);
int findItem(std::string_view item, std::string_view list);
// "1. anna\n2. peter\n" with backslash-n pairs (annotation text for convert),
// keeping only the whole entries that fit in `cap` characters.
std::string fmtList(std::string_view list, std::size_t cap = LIST_MAX);
// "'anna','peter'", keeping only the whole entries that fit in `cap` characters.
std::string fmtList2(std::string_view list, std::size_t cap = LIST_MAX);

// Longest prefix of `s` of at most `max_bytes` bytes that ends on a UTF-8
// character boundary.
std::string_view cutText(std::string_view s, std::size_t max_bytes);
// Copies `src` into the buffer `dst` of `cap` bytes, cut by cutText so that
// the text and its terminating NUL fit.
void copyText(char* dst, std::size_t cap, std::string_view src);
// Adds `item` to a comma list being built row by row (the first row's value is
// the list, later ones follow a comma) unless that would pass LIST_MAX
// characters; returns false when the item was left out.
bool appendItem(std::string& list, std::string_view item, bool first);

// A value as a log line may show it: every control character (below 0x20,
// 0x7f, and the C1 controls U+0080 to U+009F, whose UTF-8 bytes C2 80 to C2 9F
// a terminal may read as escape sequences) written byte by byte as \xNN, so
// that no value can end a line, start a forged one or reach the terminal as an
// escape sequence. With `keep_tabs` tabs stay as they are.
std::string logSafe(std::string_view s, bool keep_tabs = false);

// A-Z a-z 0-9 - _ . ~: the bytes that stand for themselves in any part of a
// URL (and in an MQTT topic level, a web key).
bool unreserved(unsigned char c);
// `s` with every byte that `keep` refuses written as %XX (upper-case hex).
std::string percentEncode(std::string_view s, bool (*keep)(unsigned char));

// A file descriptor owned by a scope and closed at its end (-1: none).
struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd()
    {
        if (fd >= 0)
            close(fd);
    }
    // Hands the descriptor on; the holder no longer closes it.
    int release()
    {
        int f = fd;
        fd = -1;
        return f;
    }
};
