// HTTP helpers for the web remote: requests through libcurl, event streams
// over a plain socket, and the settings of a daemon that serves the page.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "harness.hpp"

namespace vt {

constexpr unsigned kWebPort = 8003;

// A settings file for env: the page on 127.0.0.1:8003, tv.home as a further
// name, and `more` appended.
std::string web_config(const TestEnv& env, const std::string& more = "");
// The key in work/web.key ("" when there is none).
std::string web_key(const TestEnv& env);

struct HttpReply {
    long status = 0;
    std::map<std::string, std::string> headers; // names in lower case
    std::string body;
};
// One request to 127.0.0.1:8003; headers as "Name: value".
HttpReply http(const std::string& method, const std::string& path,
               const std::vector<std::string>& headers = {}, const std::string& body = "");

// A connection to 127.0.0.1:8003 that has sent `bytes`; the caller closes it.
int web_connect(const std::string& bytes);

// GET /api/events with the key, held open; reads its "state" events.
class EventStream {
public:
    explicit EventStream(const std::string& key);
    ~EventStream();
    EventStream(const EventStream&) = delete;
    EventStream& operator=(const EventStream&) = delete;
    const std::string& head() const { return head_; } // status line and headers
    // The data of the next state event; "" after timeout_ms or the end.
    std::string next(int timeout_ms = 10000);

private:
    bool fill(int timeout_ms); // one read; false after timeout_ms or the end
    int fd_ = -1;
    std::string head_, buffered_;
};

} // namespace vt
