// Whether the television's screen can be reached at all. Without one the
// daemon serves as ever (the database and the front ends do not need it), but
// it says so once at start instead of leaving every render to fail unexplained.
#pragma once

#include <string>

// "" when `display` (a DISPLAY value; null or empty for none) names an X
// server whose socket accepts a connection within `timeout_ms`; otherwise why
// not, for a log line. ":N" is the local socket /tmp/.X11-unix/XN (abstract or
// in the file system), "HOST:N" TCP port 6000+N on HOST.
std::string display_unreachable(const char* display, int timeout_ms = 1000);

// At start: one line on stderr when DISPLAY names no reachable X server.
void display_check();
