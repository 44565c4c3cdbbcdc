// Bytes as hexadecimal digits: one table for every room that writes or reads
// them (the log's \xNN, percent-encoding, the household key, the state file).
#pragma once

#include <string>

// Appends the two digits of `b`, lower-case unless `upper`.
inline void appendHex(std::string& out, unsigned char b, bool upper = false)
{
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    out += digits[b >> 4];
    out += digits[b & 15];
}

// The value of an upper-case hexadecimal digit, or -1.
inline int hexValue(char c)
{
    return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}
