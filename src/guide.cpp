#include "guide.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include <curl/curl.h>

#include "budget.hpp"
#include "log.hpp"
#include "net.hpp"
#include "secfunc.hpp"
#include "settings.hpp"
#include "sigint.hpp"

namespace {

struct CurlCleanup {
    void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
using CurlHandle = std::unique_ptr<CURL, CurlCleanup>;

// The guide server's address and ports, as the settings give them.
Settings::Guide g_guide;
constexpr const char* kPostBody = "id=1&user=2&pin=4821&device=2";
// A guide server that is down, silent or endless must not hold the daemon:
// each request gets a connection within 5 s, all the requests of one message
// share its 15 s (message_time_left), and of each response at most 64 KiB is
// kept.
constexpr long kConnectTimeout = 5;
constexpr std::size_t kResponseMax = 64 * 1024;

// Where a response body goes: the scratch file, standard output (escaped as
// a logged value, line breaks included), or nowhere. Past kResponseMax the
// bytes are only counted.
struct Sink {
    int fd = -1;
    FILE* out = nullptr;
    std::size_t kept = 0, dropped = 0;
    std::string held; // a first byte of a C1 control, until the next piece
};

std::size_t take_capped(char* data, std::size_t size, std::size_t n, void* p)
{
    Sink& sink = *static_cast<Sink*>(p);
    std::size_t len = size * n;
    std::size_t take = std::min(len, kResponseMax - sink.kept);
    if (sink.fd >= 0) {
        for (std::size_t off = 0; off < take;) {
            ssize_t w = write(sink.fd, data + off, take - off);
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                return 0; // the library fails the request
            off += static_cast<std::size_t>(w);
        }
    } else if (sink.out && take > 0) {
        std::string text = sink.held + std::string(data, take);
        sink.held.clear();
        if (text.back() == '\xc2')
            sink.held = text.substr(text.size() - 1), text.pop_back();
        std::string shown = logSafe(text, true);
        if (std::fwrite(shown.data(), 1, shown.size(), sink.out) != shown.size())
            return 0;
    }
    sink.kept += take;
    sink.dropped += len - take;
    return len;
}

// SIGINT cuts a request short; the library asks about once a second, and
// more often while data flows.
int abort_on_sigint(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    return shutdown_requested() ? 1 : 0;
}

// Runs one request within what is left of the message's budget; false when
// it failed, or was not sent because the budget is spent or SIGINT came.
bool perform(CURL* h, Sink& sink)
{
    auto left = message_time_left();
    if (left.count() <= 0 || shutdown_requested())
        return false;
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, kConnectTimeout);
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(left.count()));
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, take_capped);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, abort_on_sigint);
    bool ok = curl_easy_perform(h) == CURLE_OK;
    if (sink.dropped > 0)
        std::fprintf(stderr, "[http_post] response longer than %zu bytes; %zu bytes discarded\n",
                     kResponseMax, sink.dropped);
    return ok;
}

// The scratch file, emptied, when "f" is a regular file or does not exist
// yet. It is opened without following a link and without blocking on a FIFO,
// and anything but a regular file is left alone.
int open_scratch()
{
    int fd = open("f", O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0 && errno != ELOOP) {
        std::fprintf(stderr, "[http_post] cannot create the scratch file f: %s\n",
                     std::strerror(errno));
        return -1;
    }
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || ftruncate(fd, 0) != 0) {
        std::fprintf(stderr, "[http_post] the scratch file f is not a regular file; not used\n");
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return fd;
}

// Bytes a URL cannot carry: controls, the blank, non-ASCII bytes and
// "<>\^`{|}#. Every other byte of the token, '&', '=', '+' and '%' among them,
// goes as the guide server sent it.
bool url_safe(unsigned char c)
{
    return c > 0x20 && c < 0x7f && std::strchr("\"<>\\^`{|}#", c) == nullptr;
}

std::string url_encode(std::string_view s)
{
    return percentEncode(s, url_safe);
}

// The POST; returns the body of its response as the scratch file holds it.
// The file is read back through the descriptor it was written with, so it
// cannot be swapped for something else in between.
std::string request_token_response()
{
    Fd out{open_scratch()};
    Sink sink;
    sink.fd = out.fd;
    if (CurlHandle h{curl_easy_init()}) {
        std::string url = "http://" + g_guide.host + "/";
        curl_easy_setopt(h.get(), CURLOPT_URL, url.c_str());
        curl_easy_setopt(h.get(), CURLOPT_PORT, static_cast<long>(g_guide.post_port));
        curl_easy_setopt(h.get(), CURLOPT_POSTFIELDS, kPostBody);
        if (!perform(h.get(), sink))
            std::fprintf(stderr, "FAIL\n");
        else
            std::fprintf(stderr, "Sending HTTP POST AT %s:%d %s\n", g_guide.host.c_str(),
                         g_guide.post_port, kPostBody);
    }
    if (out.fd < 0)
        return "";

    std::string s;
    struct stat st {};
    if (fstat(out.fd, &st) == 0 && st.st_size > 0) {
        s.resize(std::min(static_cast<std::size_t>(st.st_size), kResponseMax));
        ssize_t n;
        while ((n = pread(out.fd, s.data(), s.size(), 0)) < 0 && errno == EINTR) {
        }
        s.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    }
    return s;
}

} // namespace

void guide_configure(const Settings::Guide& guide)
{
    g_guide = guide;
    // The library's global state for the life of the process, set up before
    // any thread runs and released after every thread has ended.
    static const struct CurlGlobal {
        CurlGlobal() { curl_global_init(CURL_GLOBAL_DEFAULT); }
        ~CurlGlobal() { curl_global_cleanup(); }
    } curl_global;
}

std::optional<std::string> guideToken(std::string_view response)
{
    // The token starts at offset 43 and ends before the first double quote
    // at offset 44 or later.
    std::size_t q = response.size() > 44 ? response.find('"', 44) : std::string_view::npos;
    if (q == std::string_view::npos)
        return std::nullopt;
    return std::string(response.substr(43, q - 43));
}

std::string guideGetUrl(std::string_view token)
{
    return "http://" + g_guide.host + ":" + std::to_string(g_guide.get_port) +
           "/?token=" + url_encode(token) + "&users=2";
}

int http_post()
{
    std::string s = request_token_response();

    std::optional<std::string> found = guideToken(s);
    if (!found) {
        std::fprintf(stderr, "[http_post] no token received\n");
        return 1;
    }
    const std::string& token = *found;
    std::string url = guideGetUrl(token);
    std::fprintf(stderr, "token received: %s\n", logSafe(token).c_str());

    if (CurlHandle h{curl_easy_init()}) {
        curl_easy_setopt(h.get(), CURLOPT_URL, url.c_str());
        Sink sink;
        sink.out = stdout;
        bool ok = perform(h.get(), sink);
        // The answer ends a line of its own.
        if (sink.kept > 0)
            std::printf("%s\n", logSafe(sink.held).c_str());
        std::fflush(stdout);
        if (!ok)
            std::fprintf(stderr, "FAIL\n");
        else
            std::fprintf(stderr, "Sending HTTP GET AT %s\n", url.c_str());
    }
    return 1;
}
