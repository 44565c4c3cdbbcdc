#include "web.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace vt {

std::string web_config(const TestEnv& env, const std::string& more)
{
    return env.write_config("[web]\nlisten = 127.0.0.1:8003\nhosts = tv.home Kitchen.Home\n" + more);
}

std::string web_key(const TestEnv& env)
{
    std::string key;
    std::ifstream(env.workdir() + "/web.key") >> key;
    return key;
}

int web_connect(const std::string& bytes, const char* from)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in src{}, a{};
    src.sin_family = a.sin_family = AF_INET;
    inet_pton(AF_INET, from, &src.sin_addr);
    a.sin_port = htons(kWebPort);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&src), sizeof src) != 0 ||
        connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
        close(fd);
        throw std::runtime_error(std::string("cannot send to 127.0.0.1:8003 from ") + from);
    }
    return fd;
}

HttpReply http(const std::string& method, const std::string& path,
               const std::vector<std::string>& headers, const std::string& body)
{
    // A Host of the caller's comes first: the server takes the first.
    std::string request = method + " " + path + " HTTP/1.1\r\n", text;
    for (const std::string& h : headers)
        request += h + "\r\n";
    request += "Host: 127.0.0.1:8003\r\nConnection: close\r\n";
    char chunk[16];
    std::snprintf(chunk, sizeof chunk, "%zx\r\n", body.size());
    if (std::count(headers.begin(), headers.end(), "Transfer-Encoding: chunked"))
        request += "\r\n" + std::string(chunk) + body + "\r\n0\r\n\r\n";
    else if (method == "POST")
        request += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    else
        request += "\r\n";
    const int fd = web_connect(request);
    char buf[8192];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
        text.append(buf, static_cast<size_t>(n));
    close(fd);
    const size_t end = text.find("\r\n\r\n");
    if (text.rfind("HTTP/1.1 ", 0) != 0 || end == std::string::npos)
        throw std::runtime_error(method + " " + path + ": no answer: " + text);
    return {std::stoi(text.substr(9, 3)), text.substr(0, end + 2), text.substr(end + 4)};
}

int events_open(const std::string& key, const char* from)
{
    return web_connect("GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                       "Authorization: Bearer " +
                           key + "\r\n\r\n",
                       from);
}

std::string next_event(int fd)
{
    // Peeks, and takes no more than the end of this event.
    std::string text;
    char buf[16384];
    for (pollfd p{fd, POLLIN, 0}; poll(&p, 1, 10000) > 0;) {
        const ssize_t n = recv(fd, buf, sizeof buf, MSG_PEEK);
        if (n <= 0)
            return "";
        const std::string seen = text + std::string(buf, static_cast<size_t>(n));
        const auto start = seen.find("event: state\ndata: ");
        const auto end = seen.find("\n\n", start == std::string::npos ? seen.size() : start);
        const size_t take = end == std::string::npos ? seen.size() : end + 2;
        text = seen.substr(0, take);
        if (recv(fd, buf, take - (seen.size() - static_cast<size_t>(n)), 0) <= 0)
            return "";
        if (end != std::string::npos)
            return text.substr(start + 19, end - start - 19);
    }
    return "";
}

} // namespace vt
