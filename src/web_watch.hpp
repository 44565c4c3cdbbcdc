// The page's connections and their request deadline: a request's head and
// body must have come within REQUEST_S of the connection (or of the answer
// before it, on a connection kept open), however slowly they trickle in. The
// idle bound alone lets a byte every few seconds hold a connection for ever.
#pragma once

#include <string>

namespace web_watch {

constexpr unsigned REQUEST_S = 10;

struct Conn;

// From the web server's threads. A new connection on socket `fd` from `peer`:
// its first request's deadline starts.
Conn* opened(int fd, const std::string& peer);
// Its request has come whole and is being answered: no deadline meanwhile.
void answered(Conn* c);
// The answer has gone; the deadline of the next request starts (a browser's
// idle connection kept for the next request is closed then without a line).
void finished(Conn* c);
void closed(Conn* c);

// The watch's own thread: shuts down the socket of a connection that misses
// its deadline (the web server then closes it) and says so in a counted line.
void start();
void stop();

} // namespace web_watch
