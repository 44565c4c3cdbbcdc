#include "net.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

std::string ListenAddress::text() const
{
    return (ipv6() ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

int bindAddress(const ListenAddress& at, const char** failed)
{
    const int family = at.ipv6() ? AF_INET6 : AF_INET;
    int soc = socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (failed)
        *failed = "socket";
    if (soc == -1)
        return -1;
    // A restart binds at once although old connections linger in TIME_WAIT.
    int one = 1, zero = 0;
    setsockopt(soc, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_storage addr{};
    socklen_t len;
    if (family == AF_INET6) {
        // [::] takes IPv4 as well.
        setsockopt(soc, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
        auto* a6 = reinterpret_cast<sockaddr_in6*>(&addr);
        a6->sin6_family = AF_INET6;
        a6->sin6_port = htons(static_cast<uint16_t>(at.port));
        inet_pton(AF_INET6, at.host.c_str(), &a6->sin6_addr);
        len = sizeof *a6;
    } else {
        auto* a4 = reinterpret_cast<sockaddr_in*>(&addr);
        a4->sin_family = AF_INET;
        a4->sin_port = htons(static_cast<uint16_t>(at.port));
        inet_pton(AF_INET, at.host.c_str(), &a4->sin_addr);
        len = sizeof *a4;
    }
    if (failed)
        *failed = "bind";
    if (bind(soc, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
        int err = errno;
        close(soc);
        errno = err;
        return -1;
    }
    return soc;
}

std::string peerName(int fd)
{
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    char host[NI_MAXHOST], port[NI_MAXSERV];
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0 ||
        getnameinfo(reinterpret_cast<sockaddr*>(&a), len, host, sizeof host, port, sizeof port,
                    NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return "unknown peer";
    return std::string(host) + ":" + port;
}
