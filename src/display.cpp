#include "display.hpp"

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "clock.hpp"
#include "log.hpp"
#include "net.hpp"

namespace {

// Connects without blocking for longer than `timeout_ms`; "" once connected,
// else the reason.
std::string try_connect(int family, const sockaddr* addr, socklen_t len, int timeout_ms)
{
    Fd s(socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (s.fd < 0)
        return std::strerror(errno);
    if (connect(s.fd, addr, len) == 0)
        return "";
    if (errno != EINPROGRESS && errno != EAGAIN)
        return std::strerror(errno);
    pollfd p{s.fd, POLLOUT, 0};
    int n;
    while ((n = poll(&p, 1, timeout_ms)) < 0 && errno == EINTR) {
    }
    if (n == 0)
        return "no answer within " + std::to_string(timeout_ms) + " ms";
    int err = 0;
    socklen_t size = sizeof err;
    getsockopt(s.fd, SOL_SOCKET, SO_ERROR, &err, &size);
    return err ? std::strerror(err) : "";
}

std::string try_local(const std::string& number, int timeout_ms)
{
    const std::string path = "/tmp/.X11-unix/X" + number;
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    // The abstract name first, as X clients do; then the file.
    std::memcpy(a.sun_path + 1, path.data(), path.size());
    const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + path.size());
    if (try_connect(AF_UNIX, reinterpret_cast<sockaddr*>(&a), len, timeout_ms).empty())
        return "";
    a.sun_path[0] = '/';
    std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
    const std::string why =
        try_connect(AF_UNIX, reinterpret_cast<sockaddr*>(&a), sizeof a, timeout_ms);
    return why.empty() ? "" : "nothing accepts on " + path + ": " + why;
}

std::string try_tcp(const std::string& host, int port, int timeout_ms)
{
    const std::string at = host + ":" + std::to_string(port);
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (int e = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found))
        return "cannot resolve " + host + ": " + gai_strerror(e);
    std::string why = "no address";
    for (addrinfo* a = found; a && !why.empty(); a = a->ai_next)
        why = try_connect(a->ai_family, a->ai_addr, a->ai_addrlen, timeout_ms);
    freeaddrinfo(found);
    return why.empty() ? "" : "nothing accepts on " + at + ": " + why;
}

} // namespace

std::string display_unreachable(const char* display, int timeout_ms)
{
    if (!display || !*display)
        return "DISPLAY is not set";
    // [tcp/|unix/]HOST:NUMBER[.SCREEN]
    std::string d = display, host, protocol;
    if (std::size_t slash = d.find('/'); slash != std::string::npos && slash < d.rfind(':')) {
        protocol = d.substr(0, slash);
        d = d.substr(slash + 1);
    }
    const std::size_t colon = d.rfind(':');
    std::string number = colon == std::string::npos ? "" : d.substr(colon + 1);
    number = number.substr(0, number.find('.'));
    const bool numeric = !number.empty() && number.size() <= 4 &&
                         number.find_first_not_of("0123456789") == std::string::npos;
    const std::string shown = "DISPLAY=" + logSafe(display) + ", ";
    if (!numeric || (protocol != "" && protocol != "tcp" && protocol != "unix"))
        return shown + "which names no X display";
    host = d.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    std::string why = (host.empty() || host == "unix") && protocol != "tcp"
                          ? try_local(number, timeout_ms)
                          : try_tcp(host.empty() ? "localhost" : host,
                                    6000 + std::atoi(number.c_str()), timeout_ms);
    return why.empty() ? "" : shown + logSafe(why);
}

namespace {

using Clock = MonotonicClock;

std::string g_display;
bool g_watched = false;
Clock::time_point g_next_look;
constexpr auto LOOK_EVERY = std::chrono::seconds(1);
// A look is one connect: a display that answers does so at once, and the
// serving loop waits for no more than this.
constexpr int LOOK_MS = 250;

} // namespace

void display_configure(const std::string& display)
{
    g_display = display;
}

void display_check()
{
    const std::string why = display_unreachable(g_display.c_str());
    if (why.empty())
        return;
    std::fprintf(stderr,
                 "[server] no display reachable (%s): the screen follows as soon as it answers\n",
                 why.c_str());
    g_watched = true;
    g_next_look = Clock::now() + LOOK_EVERY;
}

timespec* display_bound_wait(timespec* timeout, timespec& own)
{
    if (!g_watched)
        return timeout;
    auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(g_next_look - Clock::now());
    if (left.count() < 0)
        left = left.zero();
    const timespec look{static_cast<time_t>(left.count() / 1000000000),
                        static_cast<long>(left.count() % 1000000000)};
    if (timeout && (timeout->tv_sec < look.tv_sec ||
                    (timeout->tv_sec == look.tv_sec && timeout->tv_nsec <= look.tv_nsec)))
        return timeout;
    own = look;
    return &own;
}

bool display_appeared()
{
    if (!g_watched || Clock::now() < g_next_look)
        return false;
    g_next_look = Clock::now() + LOOK_EVERY;
    if (!display_unreachable(g_display.c_str(), LOOK_MS).empty())
        return false;
    g_watched = false;
    std::fprintf(stderr, "[server] the display %s answers: showing the television on it\n",
                 logSafe(g_display).c_str());
    return true;
}
