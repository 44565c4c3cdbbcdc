#include "web.hpp"

#include <arpa/inet.h>
#include <chrono>
#include <curl/curl.h>
#include <fstream>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace vt {

std::string web_config(const TestEnv& env, const std::string& more)
{
    return env.write_config("[web]\nlisten = 127.0.0.1:" + std::to_string(kWebPort) +
                            "\nhosts = tv.home\n" + more);
}

std::string web_key(const TestEnv& env)
{
    std::string key;
    std::ifstream(env.workdir() + "/web.key") >> key;
    return key;
}

namespace {
size_t collect(char* data, size_t size, size_t n, void* out)
{
    static_cast<std::string*>(out)->append(data, size * n);
    return size * n;
}

size_t header_line(char* data, size_t size, size_t n, void* out)
{
    std::string line(data, size * n);
    auto colon = line.find(':');
    if (colon != std::string::npos) {
        std::string name = line.substr(0, colon);
        for (char& c : name)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(' '));
        value.erase(value.find_last_not_of("\r\n") + 1);
        (*static_cast<std::map<std::string, std::string>*>(out))[name] = value;
    }
    return size * n;
}
} // namespace

HttpReply http(const std::string& method, const std::string& path,
               const std::vector<std::string>& headers, const std::string& body)
{
    std::unique_ptr<CURL, void (*)(CURL*)> curl(curl_easy_init(), curl_easy_cleanup);
    std::unique_ptr<curl_slist, void (*)(curl_slist*)> list(nullptr, curl_slist_free_all);
    for (const std::string& h : headers)
        list.reset(curl_slist_append(list.release(), h.c_str()));
    HttpReply reply;
    const std::string url = "http://127.0.0.1:" + std::to_string(kWebPort) + path;
    curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_CUSTOMREQUEST, method.c_str());
    if (method == "POST") {
        curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, body.data());
        curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    }
    curl_easy_setopt(curl.get(), CURLOPT_HTTPHEADER, list.get());
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &reply.body);
    curl_easy_setopt(curl.get(), CURLOPT_HEADERFUNCTION, header_line);
    curl_easy_setopt(curl.get(), CURLOPT_HEADERDATA, &reply.headers);
    curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT, 20L);
    CURLcode rc = curl_easy_perform(curl.get());
    if (rc != CURLE_OK)
        throw std::runtime_error(method + " " + path + ": " + curl_easy_strerror(rc));
    curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &reply.status);
    return reply;
}

int web_connect(const std::string& bytes)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(kWebPort);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
        close(fd);
        throw std::runtime_error("cannot send to 127.0.0.1:" + std::to_string(kWebPort));
    }
    return fd;
}

EventStream::EventStream(const std::string& key)
    : fd_(web_connect("GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " +
                      key + "\r\n\r\n"))
{
    while (buffered_.find("\r\n\r\n") == std::string::npos)
        if (!fill(10000))
            throw std::runtime_error("event stream: no answer");
    head_ = buffered_.substr(0, buffered_.find("\r\n\r\n") + 4);
    buffered_.erase(0, head_.size());
}

EventStream::~EventStream()
{
    close(fd_);
}

bool EventStream::fill(int timeout_ms)
{
    pollfd p{fd_, POLLIN, 0};
    char buf[8192];
    ssize_t n;
    if (poll(&p, 1, std::max(0, timeout_ms)) <= 0 || (n = read(fd_, buf, sizeof buf)) <= 0)
        return false;
    buffered_.append(buf, static_cast<size_t>(n));
    return true;
}

std::string EventStream::next(int timeout_ms)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        // Chunk sizes sit on lines of their own; an event fits in one chunk.
        const auto start = buffered_.find("event: state\ndata: ");
        const auto end = buffered_.find("\n\n", start == std::string::npos ? 0 : start);
        if (start != std::string::npos && end != std::string::npos) {
            std::string data = buffered_.substr(start + 19, end - start - 19);
            buffered_.erase(0, end + 2);
            return data;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        if (!fill(static_cast<int>(left.count())))
            return "";
    }
}

} // namespace vt
