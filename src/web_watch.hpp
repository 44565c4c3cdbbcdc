// The page's connections and their request deadline: a request's head and
// body must have come within REQUEST_S of the connection (or of the answer
// before it, on a connection kept open), however slowly they trickle in. The
// idle bound alone lets a byte every few seconds hold a connection for ever.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "refusals.hpp"

class WebWatch {
public:
    static constexpr unsigned REQUEST_S = 10;
    struct Conn;

    WebWatch() = default;
    ~WebWatch() { stop(); }
    WebWatch(const WebWatch&) = delete;
    WebWatch& operator=(const WebWatch&) = delete;

    // From the web server's threads. A new connection on socket `fd` from
    // `peer`: its first request's deadline starts.
    Conn* opened(int fd, const std::string& peer);
    // Its request has come whole and is being answered: no deadline meanwhile.
    void answered(Conn* c);
    // The answer has gone; the deadline of the next request starts (a
    // browser's idle connection kept for the next request is closed then
    // without a line).
    void finished(Conn* c);
    void closed(Conn* c);

    // The watch's own thread: shuts down the socket of a connection that
    // misses its deadline (the web server then closes it) and says so in a
    // counted line.
    void start();
    void stop();

private:
    using Clock = std::chrono::steady_clock;
    void set_deadline(Conn* c, Clock::time_point at, bool served);
    void run();

    std::mutex mu_;
    std::condition_variable changed_;
    std::set<Conn*> conns_;
    bool stopping_ = false;
    std::thread thread_;
    RefusalLog refusals_;
};
