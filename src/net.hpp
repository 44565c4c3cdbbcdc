// Addresses and sockets, on the ground floor: the listener on port 5003 and
// the web server bind the same way.
#pragma once

#include <string>
#include <unistd.h>

// An address to listen on: a numeric IPv4 or IPv6 address and a port.
struct ListenAddress {
    std::string host; // "0.0.0.0", "::", "127.0.0.1", ...
    int port = 0;
    bool ipv6() const { return host.find(':') != std::string::npos; }
    // "0.0.0.0:5003", "[::]:5003"
    std::string text() const;
};

// A file descriptor owned by a scope and closed at its end (-1: none).
struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd()
    {
        if (fd >= 0)
            close(fd);
    }
    // Hands the descriptor on; the holder no longer closes it.
    int release()
    {
        int f = fd;
        fd = -1;
        return f;
    }
};

// A stream socket bound to `at` ([::] takes IPv4 as well), not yet
// listening; -1 with errno set, and the call that failed in `failed`, when it
// cannot be made or bound.
int bindAddress(const ListenAddress& at, const char** failed = nullptr);

// The peer of an accepted connection, as "address:port" (an IPv6 socket shows
// IPv4 peers in their mapped form).
std::string peerName(int fd);
