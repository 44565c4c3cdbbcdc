// The programme-guide token exchange.
#include "commands.hpp"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include <curl/curl.h>

#ifndef VELMORA_GUIDE_HOST
#define VELMORA_GUIDE_HOST "127.0.0.1"
#endif

namespace {

struct CurlCleanup {
    void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
using CurlHandle = std::unique_ptr<CURL, CurlCleanup>;

struct FileClose {
    void operator()(FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileClose>;

const std::string kGuideHost = VELMORA_GUIDE_HOST;
constexpr const char* kPostBody = "id=1&user=2&pin=4821&device=2";
// A guide server that is down or silent must not stop the daemon for good.
constexpr long kConnectTimeout = 5;
constexpr long kTotalTimeout = 15;

void set_timeouts(CURL* h)
{
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, kConnectTimeout);
    curl_easy_setopt(h, CURLOPT_TIMEOUT, kTotalTimeout);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
}

std::size_t discard(char*, std::size_t size, std::size_t n, void*)
{
    return size * n;
}

// Characters a query value may hold as they are; '&', '=', '+', '#' and '%'
// would change the query's meaning and are encoded with everything else.
bool url_safe(unsigned char c)
{
    return std::isalnum(c) || std::strchr("-._~!$'()*,;:@/?", c) != nullptr;
}

std::string url_encode(std::string_view s)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
        if (c != '\0' && url_safe(c)) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

// The POST; returns the body of its response as the scratch file holds it.
std::string request_token_response()
{
    File out(std::fopen("f", "w"));
    if (!out)
        std::fprintf(stderr, "[http_post] cannot create the scratch file f: %s\n",
                     std::strerror(errno));
    if (CurlHandle h{curl_easy_init()}) {
        std::string url = "http://" + kGuideHost + "/";
        curl_easy_setopt(h.get(), CURLOPT_URL, url.c_str());
        curl_easy_setopt(h.get(), CURLOPT_PORT, 8080L);
        curl_easy_setopt(h.get(), CURLOPT_POSTFIELDS, kPostBody);
        if (out)
            curl_easy_setopt(h.get(), CURLOPT_FILE, out.get());
        else
            curl_easy_setopt(h.get(), CURLOPT_WRITEFUNCTION, discard);
        set_timeouts(h.get());
        if (curl_easy_perform(h.get()) != CURLE_OK)
            std::fprintf(stderr, "FAIL\n");
        else
            std::fprintf(stderr, "Sending HTTP POST AT %s:8080 %s\n", kGuideHost.c_str(),
                         kPostBody);
    }
    if (!out)
        return "";
    out.reset();

    File in(std::fopen("f", "r"));
    if (!in) {
        std::fprintf(stderr, "[http_post] cannot read the scratch file f: %s\n",
                     std::strerror(errno));
        return "";
    }
    std::string s;
    if (std::fseek(in.get(), 0, SEEK_END) == 0) {
        long f_size = std::ftell(in.get());
        std::fseek(in.get(), 0, SEEK_SET);
        if (f_size > 0) {
            s.resize(static_cast<std::size_t>(f_size));
            s.resize(std::fread(s.data(), 1, s.size(), in.get()));
        }
    }
    return s;
}

} // namespace

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
    return "http://" + kGuideHost + ":8081/?token=" + url_encode(token) + "&users=2";
}

int http_post()
{
    std::string s = request_token_response();
    curl_global_cleanup();

    std::optional<std::string> found = guideToken(s);
    if (!found) {
        std::fprintf(stderr, "[http_post] no token received\n");
        return 1;
    }
    const std::string& token = *found;
    std::string url = guideGetUrl(token);
    std::fprintf(stderr, "token received: %s\n", token.c_str());

    if (CurlHandle h{curl_easy_init()}) {
        curl_easy_setopt(h.get(), CURLOPT_URL, url.c_str());
        set_timeouts(h.get());
        CURLcode rc = curl_easy_perform(h.get());
        std::fflush(stdout);
        if (rc != CURLE_OK)
            std::fprintf(stderr, "FAIL\n");
        else
            std::fprintf(stderr, "Sending HTTP GET AT %s\n", url.c_str());
    }
    curl_global_cleanup();
    return 1;
}
