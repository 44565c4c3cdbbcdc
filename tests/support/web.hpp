// The web remote's client side: plain HTTP/1.1 to 127.0.0.1:8003.
#pragma once

#include <string>
#include <vector>

#include "harness.hpp"

namespace vt {

constexpr unsigned kWebPort = 8003;

// Settings for env: the page on 127.0.0.1:8003, tv.home, then `more`.
std::string web_config(const TestEnv& env, const std::string& more = "");
std::string web_key(const TestEnv& env); // the first word of work/web.key

// A connection from `from` (any 127.x.y.z stands for another host) that has
// sent `bytes`; the caller closes it.
int web_connect(const std::string& bytes, const char* from = "127.0.0.1");

struct HttpReply {
    int status = 0;
    std::string head, body; // head: the status and header lines, each ending in CRLF
};
// Read to the server's close; with "Transfer-Encoding: chunked" the body is one chunk.
HttpReply http(const std::string& method, const std::string& path,
               const std::vector<std::string>& headers = {}, const std::string& body = "");

// GET /api/events with the key, held open (an answer other than a stream
// closes it); the caller closes it.
int events_open(const std::string& key, const char* from = "127.0.0.1");
// The data of the next state event on it; "" when none comes within 10 s.
std::string next_event(int fd);

} // namespace vt
