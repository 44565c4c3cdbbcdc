#include "web.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include <microhttpd.h>
#include <nlohmann/json.hpp>

#include "json_records.hpp"
#include "net.hpp"
#include "secfunc.hpp"
#include "web_key.hpp"
#include "web_watch.hpp"

// The page's files, compiled in from web/ (see cmake/embed.cmake).
struct WebFile {
    const char* name;
    const unsigned char* data;
    std::size_t size;
};
extern const WebFile kWebFiles[];
extern const std::size_t kWebFileCount;

namespace {

constexpr std::size_t BODY_MAX = JSON_MAX;
constexpr std::size_t STREAMS_MAX = 32;
constexpr unsigned CONNECTIONS_MAX = 128;
// So that one host cannot take every connection: a phone with the page open
// holds one event stream and a few requests.
constexpr unsigned PER_PEER_MAX = 16;
constexpr unsigned IDLE_S = 30;
// Below IDLE_S, so that a stream whose client reads is never taken for idle.
constexpr auto KEEPALIVE = std::chrono::seconds(15);
// How often a waiting stream looks whether its client has gone, so that its
// place is free for a phone that reconnects.
constexpr auto GONE_CHECK = std::chrono::milliseconds(500);
constexpr const char* COOKIE = "velmora_key";
// The browser keeps a cookie for 400 days at most.
constexpr const char* COOKIE_AGE = "34560000";

struct ResponseFree {
    void operator()(MHD_Response* r) const { MHD_destroy_response(r); }
};
using Response = std::unique_ptr<MHD_Response, ResponseFree>;

// Shared by the serving thread (the listener) and the streams' threads.
struct Shared {
    std::mutex mu;
    std::condition_variable changed;
    bool stopping = false;
    std::string event; // "event: state" text of the current state
    std::uint64_t version = 0;
    std::size_t streams = 0;
};

// An open event stream: the state version it has written, and what it has
// still to write of the last text.
struct Stream {
    Stream(Shared& s, int socket) : shared(s), fd(socket) {}
    Shared& shared;
    int fd; // the connection's socket
    std::uint64_t sent = 0;
    std::string pending;
    std::size_t offset = 0;
};

// ---------------------------------------------------------------- state

std::string state_json(const Snapshot& s)
{
    using nlohmann::json;
    json users = json::array();
    for (const HouseholdUser& u : s.users)
        users.push_back({{"name", u.name},
                         {"state", u.state == "online" ? "online" : "offline"},
                         {"picture", u.picture.empty() ? json() : json(u.picture)},
                         {"place", u.place.empty() ? json() : json(u.place)}});
    json j = {{"television", s.television},
              {"users", users},
              {"online", s.online},
              {"viewing", {{"user", s.viewing_user}, {"channel", s.viewing_channel}}},
              {"playing", s.playing},
              {"channels", s.channels}};
    // Database texts need not be UTF-8; they must not end the daemon.
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

// On the serving thread: never waits for a client, only hands the new state
// to the streams, each of which writes it on its own thread.
void publish(Shared& shared, const Snapshot& now)
{
    std::string event = "event: state\ndata: " + state_json(now) + "\n\n";
    {
        std::lock_guard<std::mutex> lock(shared.mu);
        shared.event = std::move(event);
        ++shared.version;
    }
    shared.changed.notify_all();
}

// Whether the client at the other end of `fd` has closed the connection.
bool gone(int fd)
{
    pollfd p{fd, POLLRDHUP, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR));
}

// A stream's own thread waits here for the next state, or writes a comment
// after KEEPALIVE so that the connection never counts as idle; a client that
// has gone ends the stream within GONE_CHECK.
ssize_t read_stream(void* cls, uint64_t, char* buf, size_t max)
{
    Stream& s = *static_cast<Stream*>(cls);
    Shared& shared = s.shared;
    if (s.offset == s.pending.size()) {
        std::unique_lock<std::mutex> lock(shared.mu);
        const auto quiet_end = std::chrono::steady_clock::now() + KEEPALIVE;
        auto news = [&] { return shared.stopping || s.sent != shared.version; };
        while (!news() && std::chrono::steady_clock::now() < quiet_end) {
            shared.changed.wait_until(
                lock, std::min(quiet_end, std::chrono::steady_clock::now() + GONE_CHECK), news);
            if (gone(s.fd))
                return MHD_CONTENT_READER_END_WITH_ERROR;
        }
        if (shared.stopping)
            return MHD_CONTENT_READER_END_OF_STREAM;
        s.pending = news() ? shared.event : ": keep-alive\n\n";
        s.sent = shared.version;
        s.offset = 0;
    }
    std::size_t n = std::min(max, s.pending.size() - s.offset);
    std::memcpy(buf, s.pending.data() + s.offset, n);
    s.offset += n;
    return static_cast<ssize_t>(n);
}

void free_stream(void* cls)
{
    auto* s = static_cast<Stream*>(cls);
    Shared& shared = s->shared;
    delete s;
    std::lock_guard<std::mutex> lock(shared.mu);
    --shared.streams;
}

// ---------------------------------------------------------------- requests

// What a POST has sent so far.
struct Upload {
    std::string body;
    bool too_large = false;
};

std::string lower(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

const char* header(MHD_Connection* c, const char* name)
{
    return MHD_lookup_connection_value(c, MHD_HEADER_KIND, name);
}

std::string peer_address(MHD_Connection* c)
{
    const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    char host[NI_MAXHOST];
    if (!info || !info->client_addr ||
        getnameinfo(info->client_addr,
                    info->client_addr->sa_family == AF_INET6 ? sizeof(sockaddr_in6)
                                                             : sizeof(sockaddr_in),
                    host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0)
        return "unknown peer";
    return host;
}

WebWatch::Conn* watched(MHD_Connection* c)
{
    const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info ? static_cast<WebWatch::Conn*>(info->socket_context) : nullptr;
}

// Every answer goes out here, with the headers that keep a browser from
// running anything but the page's own files.
MHD_Result answer(MHD_Connection* c, unsigned status, Response r, const char* type = nullptr)
{
    if (!r)
        return MHD_NO;
    MHD_add_response_header(r.get(), "Content-Security-Policy", "default-src 'self'");
    MHD_add_response_header(r.get(), "X-Content-Type-Options", "nosniff");
    MHD_add_response_header(r.get(), "X-Frame-Options", "DENY");
    MHD_add_response_header(r.get(), "Referrer-Policy", "no-referrer");
    if (type)
        MHD_add_response_header(r.get(), MHD_HTTP_HEADER_CONTENT_TYPE, type);
    return MHD_queue_response(c, status, r.get());
}

MHD_Result text(MHD_Connection* c, unsigned status, const std::string& body,
                const char* type = "text/plain; charset=utf-8")
{
    Response r(MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()),
                                               MHD_RESPMEM_MUST_COPY));
    if (r && std::strncmp(type, "text/plain", 10) != 0)
        MHD_add_response_header(r.get(), MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    return answer(c, status, std::move(r), type);
}

MHD_Result json_error(MHD_Connection* c, unsigned status, const std::string& why)
{
    return text(c, status,
                nlohmann::json{{"error", why}}.dump(-1, ' ', false,
                                                    nlohmann::json::error_handler_t::replace),
                "application/json");
}

const char* type_of(const std::string& name)
{
    auto ends = [&](const char* ext) {
        std::size_t n = std::strlen(ext);
        return name.size() >= n && lower(name.substr(name.size() - n)) == ext;
    };
    return ends(".html")   ? "text/html; charset=utf-8"
           : ends(".js")   ? "text/javascript; charset=utf-8"
           : ends(".css")  ? "text/css; charset=utf-8"
           : ends(".png")  ? "image/png"
           : ends(".gif")  ? "image/gif"
           : ends(".webp") ? "image/webp"
                           : "image/jpeg";
}

// A regular file of the working directory (with O_NOFOLLOW in `flags`, not
// through a link); false when there is none.
MHD_Result file(MHD_Connection* c, const std::string& path, bool* found = nullptr, int flags = 0)
{
    Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | flags));
    struct stat st;
    if (fd.fd < 0 || fstat(fd.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (found) {
            *found = false;
            return MHD_YES;
        }
        return text(c, MHD_HTTP_NOT_FOUND, "no such picture\n");
    }
    Response r(MHD_create_response_from_fd(static_cast<uint64_t>(st.st_size), fd.fd));
    if (r)
        fd.release();
    if (r)
        MHD_add_response_header(r.get(), MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    return answer(c, MHD_HTTP_OK, std::move(r), type_of(path));
}

// A user's picture from pictures/, whatever name the database holds: a name
// that could lead elsewhere, a link, or anything but a regular file there
// gives black.jpg.
MHD_Result picture(MHD_Connection* c, const Snapshot& s, const std::string& name)
{
    auto u = std::find_if(s.users.begin(), s.users.end(),
                          [&](const HouseholdUser& h) { return h.name == name; });
    if (u == s.users.end())
        return text(c, MHD_HTTP_NOT_FOUND, "no such user\n");
    const std::string& p = u->picture;
    if (!p.empty() && p != "." && p != ".." && p.find('/') == std::string::npos) {
        bool found = true;
        MHD_Result r = file(c, "pictures/" + p, &found, O_NOFOLLOW);
        if (found)
            return r;
    }
    return file(c, "pictures/black.jpg", nullptr, O_NOFOLLOW);
}

MHD_Result events(MHD_Connection* c, Shared& shared)
{
    {
        std::lock_guard<std::mutex> lock(shared.mu);
        if (shared.streams >= STREAMS_MAX)
            return json_error(c, MHD_HTTP_SERVICE_UNAVAILABLE,
                              "more than " + std::to_string(STREAMS_MAX) + " event streams");
        ++shared.streams;
    }
    const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
    auto* s = new Stream(shared, info ? info->connect_fd : -1);
    Response r(
        MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 4096, read_stream, s, free_stream));
    if (!r) {
        free_stream(s);
        return MHD_NO;
    }
    MHD_add_response_header(r.get(), MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    return answer(c, MHD_HTTP_OK, std::move(r), "text/event-stream");
}

// The web server: the page's address and key, its connections' watch, and
// the state its streams hand out. MHD's threads reach it through the
// pointer they are given.
class WebServer : public Door {
public:
    WebServer(const Settings::Web& web, const DoorHost& host) : web_(web), host_(host) {}

    ~WebServer() override
    {
        stop();
        if (listener_)
            host_.remove_listener(listener_);
    }

    // Reads the key and binds the page's address, so that a key file that
    // cannot be used or a port that is taken ends the start before the
    // television is touched. 0, or the exit status after one line on
    // stderr: 2 for the key file (a setting to mend, not to retry), -1 for
    // the port.
    int bind() override
    {
        key_ = web_load_key(web_.key_file);
        if (key_.empty())
            return 2;
        Fd soc{bindAddress(web_.listen)};
        if (soc.fd < 0) {
            std::fprintf(stderr, "web: bind %s: %s\n", web_.listen.text().c_str(),
                         std::strerror(errno));
            return -1;
        }
        listening_.fd = soc.release();
        // Told from the first read of the household on, before anyone
        // connects.
        listener_ = host_.add_listener(
            [this](const Snapshot&, const Snapshot& now) { publish(shared_, now); });
        return 0;
    }

    void start() override
    {
        if (listening_.fd < 0)
            return;
        if (listen(listening_.fd, 64) != 0) {
            std::perror("web: listen");
            return;
        }
        publish(shared_, host_.snapshot());
        watch_.start();
        mhd_ = MHD_start_daemon(
            MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_THREAD_PER_CONNECTION | MHD_USE_POLL, 0,
            nullptr, nullptr, &WebServer::handle_thunk, this, MHD_OPTION_LISTEN_SOCKET,
            listening_.fd, MHD_OPTION_CONNECTION_TIMEOUT, IDLE_S, MHD_OPTION_CONNECTION_LIMIT,
            CONNECTIONS_MAX, MHD_OPTION_PER_IP_CONNECTION_LIMIT, PER_PEER_MAX,
            MHD_OPTION_NOTIFY_COMPLETED, &WebServer::completed, this,
            MHD_OPTION_NOTIFY_CONNECTION, &WebServer::connection, this, MHD_OPTION_END);
        if (!mhd_) {
            std::fprintf(stderr, "web: the web server did not start\n");
            return;
        }
        listening_.release(); // MHD closes it
        std::fprintf(stderr, "[web] serving the remote on http://%s/\n",
                     web_.listen.text().c_str());
    }

    void stop() override
    {
        if (!mhd_)
            return;
        {
            // Streams end instead of waiting for the next state.
            std::lock_guard<std::mutex> lock(shared_.mu);
            shared_.stopping = true;
        }
        shared_.changed.notify_all();
        MHD_stop_daemon(mhd_);
        mhd_ = nullptr;
        watch_.stop();
    }

    void abandon() override { stop(); }

private:
    // The whole key is always compared, so that the time taken tells nothing
    // of how much of a guess was right.
    bool is_key(std::string_view given) const
    {
        unsigned char diff = given.size() != key_.size();
        for (std::size_t i = 0; i < key_.size(); ++i)
            diff |= static_cast<unsigned char>(key_[i] ^ (i < given.size() ? given[i] : 0));
        return diff == 0 && !key_.empty();
    }

    // The names a browser may reach the page by: IP literals, localhost, the
    // listen address and the configured names. Any other name may be one that
    // an attacker's DNS points at the box (DNS rebinding).
    bool host_allowed(const char* header) const
    {
        if (!header)
            return false;
        std::string host = lower(header);
        unsigned char addr[sizeof(in6_addr)];
        if (!host.empty() && host[0] == '[') {
            std::size_t end = host.find(']');
            return end != std::string::npos && (end + 1 == host.size() || host[end + 1] == ':') &&
                   inet_pton(AF_INET6, host.substr(1, end - 1).c_str(), addr) == 1;
        }
        std::size_t colon = host.find(':');
        if (colon != std::string::npos)
            host.resize(colon);
        if (host == "localhost" || host == web_.listen.host ||
            inet_pton(AF_INET, host.c_str(), addr) == 1)
            return true;
        for (const std::string& name : web_.hosts)
            if (lower(name) == host)
                return true;
        return false;
    }

    bool authorized(MHD_Connection* c) const
    {
        const char* auth = header(c, MHD_HTTP_HEADER_AUTHORIZATION);
        if (auth && std::strncmp(auth, "Bearer ", 7) == 0 && is_key(auth + 7))
            return true;
        const char* cookie = MHD_lookup_connection_value(c, MHD_COOKIE_KIND, COOKIE);
        return cookie && is_key(cookie);
    }

    MHD_Result command(MHD_Connection* c, const std::string& body)
    {
        JsonRecords parsed = recordsFromJson(body);
        if (!parsed.error.empty())
            return json_error(c, MHD_HTTP_BAD_REQUEST, parsed.error);
        const std::size_t n = parsed.records.size();
        if (!host_.post({"web " + peer_address(c), body, std::move(parsed.records)}))
            return json_error(c, MHD_HTTP_SERVICE_UNAVAILABLE, "too many messages wait");
        return text(c, MHD_HTTP_ACCEPTED, "{\"queued\":" + std::to_string(n) + "}",
                    "application/json");
    }

    MHD_Result pair(MHD_Connection* c)
    {
        const char* key = MHD_lookup_connection_value(c, MHD_GET_ARGUMENT_KIND, "key");
        if (!key || !is_key(key))
            return text(c, MHD_HTTP_UNAUTHORIZED,
                        "wrong key: scan the code of velmora-server --pair\n");
        Response r(MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT));
        if (!r)
            return MHD_NO;
        const std::string cookie = std::string(COOKIE) + "=" + key_ + "; Path=/; Max-Age=" +
                                   COOKIE_AGE + "; HttpOnly; SameSite=Strict";
        MHD_add_response_header(r.get(), MHD_HTTP_HEADER_SET_COOKIE, cookie.c_str());
        MHD_add_response_header(r.get(), MHD_HTTP_HEADER_LOCATION, "/");
        return answer(c, MHD_HTTP_SEE_OTHER, std::move(r));
    }

    MHD_Result handle(MHD_Connection* c, const char* url, const char* method, const char* data,
                      size_t* size, void** context)
    {
        const std::string path = url;
        const bool post = std::strcmp(method, MHD_HTTP_METHOD_POST) == 0;
        auto* upload = static_cast<Upload*>(*context);
        // The request has come whole (a command with its body): no deadline
        // while it is answered, however long an event stream lasts.
        if (!post || (upload && *size == 0))
            watch_.answered(watched(c));
        if (upload) {
            // The body arrives in parts; past BODY_MAX the rest is dropped.
            if (*size) {
                upload->too_large = upload->too_large || upload->body.size() + *size > BODY_MAX;
                if (!upload->too_large)
                    upload->body.append(data, *size);
                *size = 0;
                return MHD_YES;
            }
            if (upload->too_large)
                return json_error(c, MHD_HTTP_CONTENT_TOO_LARGE, "longer than 4096 bytes");
            return command(c, upload->body);
        }

        if (!host_allowed(header(c, MHD_HTTP_HEADER_HOST)))
            return text(c, MHD_HTTP_MISDIRECTED_REQUEST, "unknown host name\n");
        if (post) {
            // Only the page's own origin may post: no other site's form or
            // script.
            const char* origin = header(c, MHD_HTTP_HEADER_ORIGIN);
            if (origin && lower(origin) != "http://" + lower(header(c, MHD_HTTP_HEADER_HOST)))
                return text(c, MHD_HTTP_FORBIDDEN, "cross-site request\n");
        } else if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0 &&
                   std::strcmp(method, MHD_HTTP_METHOD_HEAD) != 0) {
            return text(c, MHD_HTTP_METHOD_NOT_ALLOWED, "method not allowed\n");
        }

        if (path.compare(0, 5, "/api/") != 0) {
            if (post)
                return text(c, MHD_HTTP_METHOD_NOT_ALLOWED, "method not allowed\n");
            if (path == "/pair")
                return pair(c);
            const std::string name = path == "/" ? "index.html" : path.substr(1);
            for (std::size_t i = 0; i < kWebFileCount; ++i)
                if (name == kWebFiles[i].name) {
                    Response r(MHD_create_response_from_buffer(
                        kWebFiles[i].size, const_cast<unsigned char*>(kWebFiles[i].data),
                        MHD_RESPMEM_PERSISTENT));
                    return answer(c, MHD_HTTP_OK, std::move(r), type_of(name));
                }
            return text(c, MHD_HTTP_NOT_FOUND, "not found\n");
        }

        if (!authorized(c))
            return json_error(c, MHD_HTTP_UNAUTHORIZED, "no household key");
        if (path == "/api/command") {
            if (!post)
                return text(c, MHD_HTTP_METHOD_NOT_ALLOWED, "method not allowed\n");
            const char* length = header(c, MHD_HTTP_HEADER_CONTENT_LENGTH);
            if (length && std::strtoull(length, nullptr, 10) > BODY_MAX)
                return json_error(c, MHD_HTTP_CONTENT_TOO_LARGE, "longer than 4096 bytes");
            *context = new Upload;
            return MHD_YES;
        }
        if (post)
            return text(c, MHD_HTTP_METHOD_NOT_ALLOWED, "method not allowed\n");
        if (path == "/api/state")
            return text(c, MHD_HTTP_OK, state_json(host_.snapshot()), "application/json");
        if (path == "/api/events")
            return events(c, shared_);
        if (path == "/api/screen.jpg") {
            // A welcome still being rendered is not there yet: the screen is
            // black until it is set.
            bool found = true;
            MHD_Result r = file(c, host_.snapshot().screen, &found);
            return found ? r : file(c, "black.jpg");
        }
        if (path.compare(0, 13, "/api/picture/") == 0)
            return picture(c, host_.snapshot(), path.substr(13));
        return text(c, MHD_HTTP_NOT_FOUND, "not found\n");
    }

    static MHD_Result handle_thunk(void* self, MHD_Connection* c, const char* url,
                                   const char* method, const char*, const char* data,
                                   size_t* size, void** context)
    {
        return static_cast<WebServer*>(self)->handle(c, url, method, data, size, context);
    }

    static void completed(void* self, MHD_Connection* c, void** context,
                          MHD_RequestTerminationCode)
    {
        delete static_cast<Upload*>(*context);
        *context = nullptr;
        static_cast<WebServer*>(self)->watch_.finished(watched(c));
    }

    static void connection(void* self, MHD_Connection* c, void** context,
                           MHD_ConnectionNotificationCode code)
    {
        WebWatch& watch = static_cast<WebServer*>(self)->watch_;
        if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
            watch.closed(static_cast<WebWatch::Conn*>(*context));
            return;
        }
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
        *context = watch.opened(info ? info->connect_fd : -1, peer_address(c));
    }

    const Settings::Web web_;
    const DoorHost host_;
    std::string key_;
    Fd listening_;
    std::size_t listener_ = 0;
    Shared shared_;
    WebWatch watch_;
    MHD_Daemon* mhd_ = nullptr;
};

} // namespace

std::unique_ptr<Door> web_open(const Settings& settings, const DoorHost& host)
{
    if (!settings.web.enabled)
        return nullptr;
    return std::make_unique<WebServer>(settings.web, host);
}

extern "C" __attribute__((visibility("default"))) Door* velmora_web_open(const Settings& settings,
                                                                         const DoorHost& host)
{
    return web_open(settings, host).release();
}

extern "C" __attribute__((visibility("default"))) int velmora_web_pair(const Settings& settings)
{
    return web_pair(settings);
}
