// Comma lists and fixed-capacity texts.
//
// A comma list is a text of items separated by single commas, with no blanks,
// quoting or escaping; the empty text is the empty list.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

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

// A-Z a-z 0-9 - _ . ~: the bytes that stand for themselves in any part of a
// URL (and in an MQTT topic level, a web key).
bool unreserved(unsigned char c);
// `s` with every byte that `keep` refuses written as %XX (upper-case hex).
std::string percentEncode(std::string_view s, bool (*keep)(unsigned char));
