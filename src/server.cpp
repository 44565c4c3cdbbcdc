#include "server.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include <libxml/parser.h>
#include <systemd/sd-daemon.h>

#include "commands.hpp"
#include "database.hpp"
#include "display.hpp"
#include "household.hpp"
#include "inbox.hpp"
#include "mqtt.hpp"
#include "secfunc.hpp"
#include "web.hpp"

char* p_currentUser = nullptr;
char* p_currentChannel = nullptr;
int* p_soc = nullptr;

Handlers handlers = {cmd_last,      cmd_next,      cmd_prev, cmd_join,   http_post,  cmd_leave,
                     player_notify, player_volume, cmd_list, cmd_change, cmd_fingers};

namespace {
[[noreturn]] void exitWith(int status)
{
    std::exit(status);
}
} // namespace
void (*rejectExit)(int) = exitWith;

namespace {

constexpr std::size_t RECV_MAX = 1024;
// A field value never holds more than this, whatever its entities expand to.
constexpr std::size_t VALUE_MAX = 4096;
// The parser itself refuses entities nested more than 16 deep; this bound only
// keeps a document the parser let through from leading the walk astray.
constexpr int ENTITY_DEPTH_MAX = 40;
// A peer that has sent nothing by then is closed, so that it cannot hold the
// television for good.
constexpr int IDLE_PEER_MS = 5000;
// Connections that may wait for their message at once.
constexpr std::size_t MAX_WAITING_PEERS = 64;
constexpr int LISTEN_BACKLOG = 128;

volatile sig_atomic_t g_sigint = 0;
// Set once the shutdown sequence runs: its own waits are not cut short.
bool g_in_shutdown = false;
// The signal mask of the serving loop's waits: SIGINT and SIGCHLD are blocked
// everywhere else, so a signal is taken only where the loop can act on it.
sigset_t g_wait_mask;

// ---------------------------------------------------------------- messages

struct DocFree {
    void operator()(xmlDoc* d) const { xmlFreeDoc(d); }
};
using Doc = std::unique_ptr<xmlDoc, DocFree>;

[[noreturn]] void reject(const char* fmt, const char* name = "")
{
    std::fprintf(stderr, fmt, name);
    rejectExit(-1);
    std::exit(-1);
}

// A node's name as the log shows it; CDATA sections and a few other kinds of
// node have none.
std::string nodeName(const xmlChar* name)
{
    return name ? logSafe(reinterpret_cast<const char*>(name)) : "(null)";
}

// libxml2's own diagnostics quote the message they are about; they reach
// stderr with the message's control characters escaped like every value. The
// library ends each piece with at most one line break of its own; one inside
// came from the message.
void parserDiagnostic(void*, const char* fmt, ...)
{
    char text[2048];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    std::string_view piece = text;
    bool line_end = !piece.empty() && piece.back() == '\n';
    if (line_end)
        piece.remove_suffix(1);
    std::fputs((logSafe(piece, true) + (line_end ? "\n" : "")).c_str(), stderr);
}

// The text of a field element's own text, CDATA and entity-reference
// children; entities are expanded in place, bounded in depth and size. Within
// the bounds it is what xmlNodeListGetString(doc, list, 1) gives: a value once
// any node with content took part (an undeclared entity has none).
void appendValue(xmlDocPtr doc, xmlNodePtr list, std::string& out, bool& any, int depth)
{
    for (xmlNodePtr n = list; n != nullptr && out.size() < VALUE_MAX; n = n->next) {
        xmlEntityPtr ent = nullptr;
        if (n->type == XML_ENTITY_REF_NODE && (ent = xmlGetDocEntity(doc, n->name)) != nullptr) {
            if (depth < ENTITY_DEPTH_MAX)
                appendValue(doc, ent->children, out, any, depth + 1);
        } else if ((n->type == XML_TEXT_NODE || n->type == XML_CDATA_SECTION_NODE ||
                    n->type == XML_ENTITY_REF_NODE) &&
                   n->content != nullptr) {
            any = true;
            out += reinterpret_cast<const char*>(n->content);
        }
    }
}

} // namespace

std::optional<std::string> fieldValue(xmlDocPtr doc, xmlNodePtr element)
{
    std::string text;
    bool any = false;
    appendValue(doc, element->children, text, any, 0);
    if (!any)
        return std::nullopt;
    return std::string(cutText(text, VALUE_MAX));
}

void Field::take(xmlDocPtr doc, xmlNodePtr element)
{
    found = true;
    value = fieldValue(doc, element);
}

void Field::set(std::optional<std::string> v)
{
    found = true;
    if (v && v->size() > VALUE_MAX)
        v = std::string(cutText(*v, VALUE_MAX));
    value = std::move(v);
}

std::string Field::shown() const
{
    return value ? logSafe(*value) : "(null)";
}

namespace {

void setCurrentUser(const Record& r)
{
    copyText(p_currentUser, VIEW_SIZE, r.name.text());
}

// The command keywords, checked in order; the row without a keyword takes
// every other text.
struct Route {
    const char* keyword;
    void (*handle)(const Record&);
};

const Route kRoutes[] = {
    {"last", [](const Record&) { handlers.last(p_currentUser); }},
    {"next", [](const Record&) { handlers.next(p_currentChannel); }},
    {"prev", [](const Record&) { handlers.prev(p_currentChannel); }},
    {"join",
     [](const Record& r) {
         setCurrentUser(r);
         handlers.join(p_currentUser, p_currentChannel);
     }},
    {"trololo", [](const Record&) { handlers.post(); }},
    {"getepg", [](const Record&) { handlers.post(); }},
    {"leav",
     [](const Record& r) { handlers.leave(r.name.text(), p_currentChannel, p_currentUser); }},
    {"leave",
     [](const Record& r) { handlers.leave(r.name.text(), p_currentChannel, p_currentUser); }},
    {"noti", [](const Record& r) { handlers.notify("xml notify", r.presence.text()); }},
    {"notify", [](const Record& r) { handlers.notify("xml notify", r.presence.text()); }},
    {"volu", [](const Record& r) { handlers.volume(r.presence.text()); }},
    {"volume", [](const Record& r) { handlers.volume(r.presence.text()); }},
    {"list", [](const Record& r) { handlers.list(r.presence.text()); }},
    // The presence text names the channel; without one the current channel
    // is shown again.
    {"chan",
     [](const Record& r) {
         handlers.change(r.presence.value ? r.presence.text() : p_currentChannel);
     }},
    {"change",
     [](const Record& r) {
         handlers.change(r.presence.value ? r.presence.text() : p_currentChannel);
     }},
    {nullptr,
     [](const Record& r) { handlers.fingers(r.command.text(), p_currentChannel, p_currentUser); }},
};

void dispatch(const Record& r)
{
    const Route* route = kRoutes;
    while (route->keyword && std::strcmp(route->keyword, r.command.text()) != 0)
        ++route;
    route->handle(r);
}

// The leading decimal integer as atoi reads it, held to the int range.
int probability(const Field& f)
{
    if (!f.value)
        return 0;
    long v = std::strtol(f.value->c_str(), nullptr, 10);
    if (v > INT_MAX)
        return INT_MAX;
    if (v < INT_MIN)
        return INT_MIN;
    return static_cast<int>(v);
}

// ---------------------------------------------------------------- lifecycle

// A log line written with one write, however many line breaks it holds.
void logLine(FILE* stream, const char* fmt, ...)
{
    char text[2048];
    va_list ap, again;
    va_start(ap, fmt);
    va_copy(again, ap);
    int n = std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    if (n < 0) {
        va_end(again);
        return;
    }
    if (static_cast<std::size_t>(n) < sizeof text) {
        va_end(again);
        std::fwrite(text, 1, static_cast<std::size_t>(n), stream);
        return;
    }
    std::string line(static_cast<std::size_t>(n), '\0');
    std::vsnprintf(line.data(), line.size() + 1, fmt, again);
    va_end(again);
    std::fwrite(line.data(), 1, line.size(), stream);
}

[[noreturn]] void shutdownSequence()
{
    g_in_shutdown = true;
    std::printf("\nExiting...\nThank you for flying with VelmoraServer.\n");
    if (*p_soc >= 0) {
        int r = close(*p_soc);
        *p_soc = -1;
        std::fprintf(stderr, "\n[server] close() returned %d (0 - succesful)\n", r);
    }
    int r = db_set_all_state("offline");
    std::fprintf(stderr, "[server] db_set_all_offline() returned %d (0 - succesful)\n", r);
    household::all_offline();
    player_restore();
    household::message_done(p_currentUser, p_currentChannel);
    mqtt_stop();
    web_stop();
    std::exit(0);
}

void childEnded(int) {}

// The signals that are pending while they are blocked: SIGINT runs the
// shutdown sequence, SIGCHLD collects the finished children. A signal that
// comes while a descriptor is ready stays pending (ppoll returns without
// taking it), so this is looked at after every wait that found one ready.
void takePendingSignals()
{
    if (g_sigint)
        shutdownSequence();
    sigset_t pending;
    if (sigpending(&pending) != 0)
        return;
    if (sigismember(&pending, SIGINT) == 1)
        shutdownSequence();
    if (sigismember(&pending, SIGCHLD) == 1)
        reap_children();
}

// The listening socket that the service manager holds on port 5003 and hands
// over (socket activation), or -1 when there is none. It is served as it is:
// listen() again would shrink the queue in which connections wait while the
// daemon restarts.
int handedListener()
{
    if (sd_listen_fds(1) < 1)
        return -1;
    int fd = SD_LISTEN_FDS_START;
    if (sd_is_socket(fd, AF_UNSPEC, SOCK_STREAM, 1) <= 0) {
        std::fprintf(stderr, "server: the handed descriptor is not a listening stream socket\n");
        std::exit(-1);
    }
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

// The listening socket, bound but not yet listening: nothing connects to a
// daemon that is not ready, and a port that is taken ends the start before
// the television is touched. -1 after the failure is reported.
int bindListener(const ListenAddress& at)
{
    const char* failed = nullptr;
    int soc = bindAddress(at, &failed);
    if (soc == -1)
        std::perror(std::strcmp(failed, "socket") == 0 ? "server: socket" : "server: bind");
    return soc;
}

// The peer of an accepted connection, as "address:port" (an IPv6 socket shows
// IPv4 peers in their mapped form).
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

// The database in step with the black screen that start-up shows: everyone
// offline, as the orderly shutdown leaves them, so that a daemon that ended
// any other way does not refuse the household's next joins as "already
// online". A database that cannot be reached is no reason not to serve.
void databaseInStep()
{
    std::string error;
    if (!db_try_connect(error)) {
        std::fprintf(stderr,
                     "[server] database not reached at start-up (%s); users keep their state\n",
                     logSafe(error).c_str());
        return;
    }
    db_set_all_state_here("offline");
    household::refresh_on_open_connection();
    db_close();
}

void logViewingState()
{
    logLine(stdout, "[memory] currentChannel: '%s'\n[memory] currentUser: '%s'\n",
            logSafe(p_currentChannel).c_str(), logSafe(p_currentUser).c_str());
    household::message_done(p_currentUser, p_currentChannel);
}

// ---------------------------------------------------------------- the loop

using Clock = std::chrono::steady_clock;

// An accepted connection whose message has not come yet.
struct Peer {
    int fd;
    Clock::time_point deadline;
};

// One message, read once, handled whole.
void handleReceived(char* recvBuff, ssize_t n)
{
    recvBuff[n] = '\0';
    logLine(stderr, "[RCV] %s\n", logSafe(recvBuff, true).c_str());
    parseThis(recvBuff);
    logViewingState();
}

// Set when a message has been handled since the last wait: a SIGINT that
// came during it must be seen before the next one is taken up.
bool g_handled_since_wait = false;

void noMoreAfterSigint()
{
    if (g_handled_since_wait && shutdown_requested())
        shutdownSequence();
    g_handled_since_wait = true;
}

// Reads the one block of a connection; false when nothing has come yet.
// A failing read ends the daemon as a failing socket call does.
bool readMessageFrom(int fd, char* recvBuff)
{
    ssize_t n = read(fd, recvBuff, RECV_MAX);
    if (n == -1 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return false;
    if (n == -1) {
        std::perror("server: read");
        std::exit(-1);
    }
    close(fd);
    noMoreAfterSigint();
    handleReceived(recvBuff, n);
    return true;
}

void handleInbox()
{
    InboxMessage m;
    while (inbox::take(m)) {
        noMoreAfterSigint();
        logLine(stderr, "[RCV %s] %s\n", logSafe(m.origin).c_str(), logSafe(m.text).c_str());
        handleRecords(m.records);
        logViewingState();
    }
}

// The serving loop: it watches the listener, every accepted connection that
// has not yet sent its message, and the inbox of the other sources, and
// handles complete messages one at a time. A silent peer costs nobody but
// itself: it is closed after IDLE_PEER_MS, and of those that wait the oldest
// is closed beyond MAX_WAITING_PEERS. A SIGINT that comes during a message
// is taken by the next wait, or found pending right after it, before any
// further message is handled.
[[noreturn]] void serve(int soc)
{
    static char recvBuff[RECV_MAX + 1];
    // Both kept from one wake-up to the next: the loop allocates nothing per
    // message.
    std::vector<Peer> peers;
    std::vector<pollfd> fds;
    peers.reserve(MAX_WAITING_PEERS + 1);
    fds.reserve(MAX_WAITING_PEERS + 3);
    for (;;) {
        if (g_sigint)
            shutdownSequence();
        fds.clear();
        fds.push_back({soc, POLLIN, 0});
        fds.push_back({inbox::wake_fd(), POLLIN, 0});
        for (const Peer& p : peers)
            fds.push_back({p.fd, POLLIN, 0});
        timespec ts{}, *timeout = nullptr;
        if (!peers.empty()) {
            // Deadlines follow the order of acceptance: the first is the nearest.
            auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(
                peers.front().deadline - Clock::now());
            if (left.count() < 0)
                left = left.zero();
            ts.tv_sec = static_cast<time_t>(left.count() / 1000000000);
            ts.tv_nsec = static_cast<long>(left.count() % 1000000000);
            timeout = &ts;
        }
        int r = ppoll(fds.data(), fds.size(), timeout, &g_wait_mask);
        const auto polled = Clock::now();
        g_handled_since_wait = false;
        if (r < 0) {
            if (errno != EINTR) {
                std::perror("server: accept");
                std::exit(-1);
            }
            reap_children();
            continue;
        }
        takePendingSignals();

        // Messages of the connections that have sent theirs, in the order the
        // connections came; a silent one past its time is closed.
        std::size_t kept = 0;
        for (std::size_t i = 0; i < peers.size(); ++i) {
            const Peer p = peers[i];
            if (fds[2 + i].revents && readMessageFrom(p.fd, recvBuff))
                continue;
            if (!fds[2 + i].revents && p.deadline <= polled) {
                std::fprintf(stderr, "[server] %s sent nothing within %d s; closed\n",
                             peerName(p.fd).c_str(), IDLE_PEER_MS / 1000);
                close(p.fd);
                continue;
            }
            peers[kept++] = p;
        }
        peers.resize(kept);

        if (fds[1].revents)
            handleInbox();

        if (fds[0].revents) {
            int c = accept4(soc, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (c == -1) {
                // The listener does not block: a connection that went away
                // before it was taken is no failure.
                if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED ||
                    errno == EINTR)
                    continue;
                std::perror("server: accept");
                std::exit(-1);
            }
            // The message is usually there by the time the connection is taken.
            if (readMessageFrom(c, recvBuff))
                continue;
            if (peers.size() >= MAX_WAITING_PEERS) {
                std::fprintf(stderr, "[server] %s closed unread: more than %zu connections wait\n",
                             peerName(peers.front().fd).c_str(), MAX_WAITING_PEERS);
                close(peers.front().fd);
                peers.erase(peers.begin());
            }
            peers.push_back({c, Clock::now() + std::chrono::milliseconds(IDLE_PEER_MS)});
        }
    }
}

} // namespace

void signalHandler(int)
{
    g_sigint = 1;
}

bool shutdown_requested()
{
    if (g_in_shutdown)
        return false;
    if (g_sigint)
        return true;
    // Outside the loop's waits SIGINT is blocked and stays pending.
    sigset_t pending;
    return sigpending(&pending) == 0 && sigismember(&pending, SIGINT) == 1;
}

namespace {
struct CtxtFree {
    void operator()(xmlParserCtxt* c) const { xmlFreeParserCtxt(c); }
};
} // namespace

// Parses a message exactly as xmlReadMemory(text, strlen(text), "text.xml",
// NULL, 0) does. That call builds a parser context, a name dictionary and a
// copy of the text for every message, and asks its empty reader for more input
// at every element: together more than half of what a short message costs. A
// text that starts with a tag is parsed in place instead, on one parser
// context kept from message to message. Anything else (an XML declaration,
// which may name an encoding to convert from, a byte order mark) takes the
// ordinary call. The dictionary keeps every name it has seen, so a context that
// has gathered more than a few hundred is let go.
xmlDocPtr readMessage(const char* text)
{
    static std::unique_ptr<xmlParserCtxt, CtxtFree> kept;
    constexpr int NAMES_KEPT = 256;
    if (text[0] == '<' && text[1] != '?' && text[1] != '\0') {
        if (kept && xmlDictSize(kept->dict) > NAMES_KEPT)
            kept.reset();
        if (!kept)
            kept.reset(xmlNewParserCtxt());
        if (kept)
            return xmlCtxtReadDoc(kept.get(), reinterpret_cast<const xmlChar*>(text), "text.xml",
                                  nullptr, 0);
    }
    return xmlReadMemory(text, static_cast<int>(std::strlen(text)), "text.xml", nullptr, 0);
}

namespace {

Record readUser(xmlDocPtr doc, xmlNodePtr cur)
{
    Record r;
    for (xmlNodePtr n = cur->children; n != nullptr; n = n->next) {
        const xmlChar* name = n->name;
        if (!xmlStrcmp(name, BAD_CAST "name"))
            r.name.take(doc, n);
        else if (!xmlStrcmp(name, BAD_CAST "command"))
            r.command.take(doc, n);
        else if (!xmlStrcmp(name, BAD_CAST "presence"))
            r.presence.take(doc, n);
        else if (!xmlStrcmp(name, BAD_CAST "probability"))
            r.probability.take(doc, n);
    }
    return r;
}

void handleRecord(const Record& r)
{
    logLine(stdout, "\n[MSG] %s %s %s\n", r.name.shown().c_str(), r.command.shown().c_str(),
            r.presence.shown().c_str());
    if (r.command.found)
        dispatch(r);
    if (r.probability.found) {
        int prob = probability(r.probability);
        std::fprintf(stderr, "[server] user: %s, prob: %d\n", r.name.shown().c_str(), prob);
        if (prob > 50) {
            setCurrentUser(r);
            handlers.join(p_currentUser, p_currentChannel);
        }
    }
}

} // namespace

void parseUsers(xmlDocPtr doc, xmlNodePtr cur)
{
    handleRecord(readUser(doc, cur));
}

void handleRecords(const std::vector<Record>& records)
{
    // The programs and guide exchanges of one message share one time budget.
    message_budget_reset();
    struct BudgetEnd {
        ~BudgetEnd() { message_budget_end(); }
    } budget_end;
    bool first = true;
    for (const Record& r : records) {
        if (!first && shutdown_requested())
            break;
        first = false;
        handleRecord(r);
    }
}

void parseThis(const char* text)
{
    xmlSetGenericErrorFunc(nullptr, parserDiagnostic);
    Doc doc(readMessage(text));
    if (!doc)
        reject("Error: Document not parsed successfully.\n");
    xmlNodePtr app = xmlDocGetRootElement(doc.get());
    xmlNodePtr appname = app ? app->children : nullptr;
    xmlNodePtr cur = appname ? appname->next : nullptr;
    if (cur == nullptr) {
        doc.reset();
        reject("Error: Empty document.\n");
    }
    if (xmlStrcmp(cur->name, BAD_CAST "users")) {
        std::string name = nodeName(cur->name);
        doc.reset();
        reject("Error: Document of the wrong type node: %s != users.\n", name.c_str());
    }
    std::vector<Record> records;
    for (xmlNodePtr n = cur->children; n != nullptr; n = n->next)
        if (!xmlStrcmp(n->name, BAD_CAST "user"))
            records.push_back(readUser(doc.get(), n));
    doc.reset();
    handleRecords(records);
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

void server_guard_process()
{
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF &&
            open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) != fd)
            _exit(2);
    std::signal(SIGPIPE, SIG_IGN);

    // SIGINT and SIGCHLD are taken only inside the waits that can act on
    // them; until the loop runs, a SIGINT stays pending, cuts short the
    // programs of the start-up restore, and ends the start in order.
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGCHLD);
    sigprocmask(SIG_BLOCK, &blocked, &g_wait_mask);
    sigdelset(&g_wait_mask, SIGINT);
    sigdelset(&g_wait_mask, SIGCHLD);

    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sigemptyset(&sa.sa_mask);
    sa.sa_handler = signalHandler;
    sigaction(SIGINT, &sa, nullptr);
    sa.sa_handler = childEnded;
    sigaction(SIGCHLD, &sa, nullptr);
}

int server_main(const Settings& settings)
{
    // Every log line reaches its stream at once, also into a pipe.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::setvbuf(stderr, nullptr, _IOLBF, 0);

    if (!settings.server.workdir.empty() && chdir(settings.server.workdir.c_str()) != 0) {
        std::perror("server: workdir");
        return -1;
    }
    db_configure(settings.database);
    guide_configure(settings.guide);

    p_currentUser = new char[VIEW_SIZE]();
    p_currentChannel = new char[VIEW_SIZE]();

    // The port first: a start that cannot serve leaves the television alone.
    static int soc = -1;
    p_soc = &soc;
    const bool handed = (soc = handedListener()) >= 0;
    if (handed && settings.server.listen_given)
        std::fprintf(stderr,
                     "[server] serving the socket the service manager handed over, not %s\n",
                     settings.server.listen.text().c_str());
    if (!handed && (soc = bindListener(settings.server.listen)) == -1)
        return -1;
    if (settings.web.enabled && !web_bind(settings))
        return -1;

    player_restore();
    display_check();
    takePendingSignals();
    mqtt_start(settings);
    web_start();
    databaseInStep();
    takePendingSignals();

    // Only now that start-up is done does anything connect.
    // The queue holds what a burst brings while the loop takes connections
    // one at a time; with a queue of one, a third connection at once would
    // wait for TCP to try again a second later.
    if (!handed && listen(soc, LISTEN_BACKLOG) != 0) {
        std::perror("server: listen");
        return -1;
    }
    // Under a service manager: serving from here on.
    sd_notify(0, "READY=1");
    serve(soc);
}
