#include "web_answers.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "net.hpp"

namespace web {
namespace {

constexpr std::size_t STREAMS_MAX = 32;
// Below the connections' idle bound (30 s), so that a stream whose client
// reads is never taken for idle.
constexpr auto KEEPALIVE = std::chrono::seconds(15);
// How often a waiting stream looks whether its client has gone, so that its
// place is free for a phone that reconnects.
constexpr auto GONE_CHECK = std::chrono::milliseconds(500);

} // namespace

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
MHD_Result answer(MHD_Connection* c, unsigned status, Response r, const char* type)
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

MHD_Result text(MHD_Connection* c, unsigned status, const std::string& body, const char* type)
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
MHD_Result file(MHD_Connection* c, const std::string& path, bool* found, int flags)
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

} // namespace web
