// Whether the television's screen can be reached at all. Without one the
// daemon serves as ever (the database and the front ends do not need it), but
// it says so once at start instead of leaving every render to fail
// unexplained, and watches for the display: a set-top box whose X starts
// after the daemon (a user manager that starts at boot) gets its screen as
// soon as X answers.
#pragma once

#include <ctime>
#include <string>

// "" when `display` (a DISPLAY value; null or empty for none) names an X
// server whose socket accepts a connection within `timeout_ms`; otherwise why
// not, for a log line. ":N" is the local socket /tmp/.X11-unix/XN (abstract or
// in the file system), "HOST:N" TCP port 6000+N on HOST.
std::string display_unreachable(const char* display, int timeout_ms = 1000);

// The display of the settings, before the start.
void display_configure(const std::string& display);

// At start: one line on stderr when the display names no reachable X
// server; it is then watched.
void display_check();

// The serving loop's wait while the display is watched: `timeout` (which may
// point at `own`, or be null for none), shortened to the next look at the
// display, about a second away; as it is when nothing is watched.
timespec* display_bound_wait(timespec* timeout, timespec& own);
// After each wait: true once, when the watched display has come (one line
// says so); the caller then shows the television on it.
bool display_appeared();
