// The log: every line the daemon writes goes through here, on the ground
// floor, so that every room writes its lines the same way.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

// A value as a log line may show it: every control character (below 0x20,
// 0x7f, and the C1 controls U+0080 to U+009F, whose UTF-8 bytes C2 80 to C2 9F
// a terminal may read as escape sequences) written byte by byte as \xNN, so
// that no value can end a line, start a forged one or reach the terminal as an
// escape sequence. With `keep_tabs` tabs stay as they are.
std::string logSafe(std::string_view s, bool keep_tabs = false);

// A log line written with one write, however many line breaks it holds, so
// that lines of the daemon and its children never interleave within a line.
void logLine(FILE* stream, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
