#include "web_watch.hpp"

#include <chrono>
#include <condition_variable>
#include <fcntl.h>
#include <mutex>
#include <set>
#include <sys/socket.h>
#include <thread>

#include "net.hpp"
#include "refusals.hpp"

namespace web_watch {

using Clock = std::chrono::steady_clock;
constexpr Clock::time_point NONE = Clock::time_point::max();

struct Conn {
    Fd fd; // a duplicate of the socket: never another connection's after a close
    std::string peer;
    Clock::time_point deadline;
    // A request has been answered: the connection is one that a browser
    // keeps open for the next, and closing it is no refusal worth a line.
    bool served = false;
};

namespace {

// Never destroyed: a fatal exit() leaves the web server's threads running.
struct Watch {
    std::mutex mu;
    std::condition_variable changed;
    std::set<Conn*> conns;
    bool stopping = false;
    std::thread thread;
    RefusalLog refusals;
};
Watch& watch = *new Watch;

void set_deadline(Conn* c, Clock::time_point at, bool served)
{
    if (!c)
        return;
    {
        std::lock_guard<std::mutex> lock(watch.mu);
        c->deadline = at;
        c->served = c->served || served;
    }
    watch.changed.notify_one();
}

Clock::time_point from_now()
{
    return Clock::now() + std::chrono::seconds(REQUEST_S);
}

void run()
{
    std::unique_lock<std::mutex> lock(watch.mu);
    while (!watch.stopping) {
        Clock::time_point next = NONE;
        const auto now = Clock::now();
        for (Conn* c : watch.conns) {
            if (c->deadline > now) {
                next = std::min(next, c->deadline);
                continue;
            }
            c->deadline = NONE;
            shutdown(c->fd.fd, SHUT_RDWR);
            if (!c->served)
                watch.refusals.refused("[web] " + c->peer + " sent no whole request within " +
                                       std::to_string(REQUEST_S) + " s; closed");
        }
        if (next == NONE)
            watch.changed.wait(lock);
        else
            watch.changed.wait_until(lock, next);
    }
}

} // namespace

Conn* opened(int fd, const std::string& peer)
{
    auto* c = new Conn{Fd(fcntl(fd, F_DUPFD_CLOEXEC, 0)), peer, NONE};
    {
        std::lock_guard<std::mutex> lock(watch.mu);
        watch.conns.insert(c);
    }
    set_deadline(c, from_now(), false);
    return c;
}

void answered(Conn* c)
{
    set_deadline(c, NONE, false);
}

void finished(Conn* c)
{
    set_deadline(c, from_now(), true);
}

void closed(Conn* c)
{
    std::lock_guard<std::mutex> lock(watch.mu);
    watch.conns.erase(c);
    delete c;
}

void start()
{
    watch.thread = std::thread(run);
}

void stop()
{
    {
        std::lock_guard<std::mutex> lock(watch.mu);
        watch.stopping = true;
    }
    watch.changed.notify_one();
    if (watch.thread.joinable())
        watch.thread.join();
}

} // namespace web_watch
