#include "web_watch.hpp"

#include <fcntl.h>
#include <sys/socket.h>

#include "net.hpp"

namespace {
constexpr auto NONE = std::chrono::steady_clock::time_point::max();
} // namespace

struct WebWatch::Conn {
    Fd fd; // a duplicate of the socket: never another connection's after a close
    std::string peer;
    Clock::time_point deadline;
    // A request has been answered: the connection is one that a browser
    // keeps open for the next, and closing it is no refusal worth a line.
    bool served = false;
};

void WebWatch::set_deadline(Conn* c, Clock::time_point at, bool served)
{
    if (!c)
        return;
    {
        std::lock_guard<std::mutex> lock(mu_);
        c->deadline = at;
        c->served = c->served || served;
    }
    changed_.notify_one();
}

void WebWatch::run()
{
    std::unique_lock<std::mutex> lock(mu_);
    while (!stopping_) {
        Clock::time_point next = NONE;
        const auto now = Clock::now();
        for (Conn* c : conns_) {
            if (c->deadline > now) {
                next = std::min(next, c->deadline);
                continue;
            }
            c->deadline = NONE;
            shutdown(c->fd.fd, SHUT_RDWR);
            if (!c->served)
                refusals_.refused("[web] " + c->peer + " sent no whole request within " +
                                  std::to_string(REQUEST_S) + " s; closed");
        }
        if (next == NONE)
            changed_.wait(lock);
        else
            changed_.wait_until(lock, next);
    }
}

WebWatch::Conn* WebWatch::opened(int fd, const std::string& peer)
{
    auto* c = new Conn{Fd(fcntl(fd, F_DUPFD_CLOEXEC, 0)), peer, NONE};
    {
        std::lock_guard<std::mutex> lock(mu_);
        conns_.insert(c);
    }
    set_deadline(c, Clock::now() + std::chrono::seconds(REQUEST_S), false);
    return c;
}

void WebWatch::answered(Conn* c)
{
    set_deadline(c, NONE, false);
}

void WebWatch::finished(Conn* c)
{
    set_deadline(c, Clock::now() + std::chrono::seconds(REQUEST_S), true);
}

void WebWatch::closed(Conn* c)
{
    std::lock_guard<std::mutex> lock(mu_);
    conns_.erase(c);
    delete c;
}

void WebWatch::start()
{
    thread_ = std::thread(&WebWatch::run, this);
}

void WebWatch::stop()
{
    {
        std::lock_guard<std::mutex> lock(mu_);
        stopping_ = true;
    }
    changed_.notify_one();
    if (thread_.joinable())
        thread_.join();
}
