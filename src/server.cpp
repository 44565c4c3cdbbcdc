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

#include <libxml/parser.h>
#include <systemd/sd-daemon.h>

#include "commands.hpp"
#include "database.hpp"
#include "secfunc.hpp"

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

constexpr int PORT = 5003;
constexpr std::size_t RECV_MAX = 1024;
// A field value never holds more than this, whatever its entities expand to.
constexpr std::size_t VALUE_MAX = 4096;
// The parser itself refuses entities nested more than 16 deep; this bound only
// keeps a document the parser let through from leading the walk astray.
constexpr int ENTITY_DEPTH_MAX = 40;
// A peer that has sent nothing by then is closed, so that it cannot hold the
// television for good.
constexpr int IDLE_PEER_MS = 5000;

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

namespace {

// A field: whether the element occurred, and its value when it has one.
struct Field {
    bool found = false;
    std::optional<std::string> value;

    void take(xmlDocPtr doc, xmlNodePtr element)
    {
        found = true;
        value = fieldValue(doc, element);
    }
    // What a handler gets: a missing value is the empty text.
    const char* text() const { return value ? value->c_str() : ""; }
    // What the log shows: a missing value is told from an empty one.
    std::string shown() const { return value ? logSafe(*value) : "(null)"; }
};

struct Record {
    Field name, command, presence, probability;
};

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
    player_restore();
    std::exit(0);
}

void childEnded(int) {}

enum class Wait { Ready, TimedOut, Failed };

// Waits until fd is readable, for at most timeout_ms (-1: no limit). SIGINT
// runs the shutdown sequence from here; finished children are collected. A
// signal that comes while fd is ready stays pending (ppoll returns without
// taking it), so the pending set is looked at after every wait that found fd
// ready: under steady traffic that is where SIGINT and SIGCHLD are seen. The
// wait for an accepted peer's message leaves that to the next wait for the
// listener, once the message is handled.
Wait waitReadable(int fd, int timeout_ms = -1, bool look_at_pending = true)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (g_sigint)
            shutdownSequence();
        timespec ts{};
        if (timeout_ms >= 0) {
            auto left =
                std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now());
            if (left.count() < 0)
                left = left.zero();
            ts.tv_sec = static_cast<time_t>(left.count() / 1000000000);
            ts.tv_nsec = static_cast<long>(left.count() % 1000000000);
        }
        pollfd p{fd, POLLIN, 0};
        int r = ppoll(&p, 1, timeout_ms >= 0 ? &ts : nullptr, &g_wait_mask);
        if (r > 0) {
            sigset_t pending;
            if (look_at_pending && sigpending(&pending) == 0) {
                if (sigismember(&pending, SIGINT) == 1)
                    shutdownSequence();
                if (sigismember(&pending, SIGCHLD) == 1)
                    reap_children();
            }
            return Wait::Ready;
        }
        if (g_sigint)
            shutdownSequence();
        if (r == 0)
            return Wait::TimedOut;
        if (errno != EINTR)
            return Wait::Failed;
        reap_children();
    }
}

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

// The peer of an accepted connection, as "address:port" (an IPv6 socket handed
// over by the service manager shows IPv4 peers in their mapped form).
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

void parseUsers(xmlDocPtr doc, xmlNodePtr cur)
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
    // The programs and guide exchanges of one message share one time budget.
    message_budget_reset();
    struct BudgetEnd {
        ~BudgetEnd() { message_budget_end(); }
    } budget_end;
    // After SIGINT the record in hand is finished; the rest are left.
    bool first = true;
    for (xmlNodePtr n = cur->children; n != nullptr; n = n->next) {
        if (xmlStrcmp(n->name, BAD_CAST "user"))
            continue;
        if (!first && shutdown_requested())
            break;
        first = false;
        parseUsers(doc.get(), n);
    }
}

int server_main(int, char**)
{
    // Every log line reaches its stream at once, also into a pipe.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::setvbuf(stderr, nullptr, _IOLBF, 0);

    player_restore();

    // SIGINT and SIGCHLD are taken only inside the loop's waits.
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

    p_currentUser = new char[VIEW_SIZE]();
    p_currentChannel = new char[VIEW_SIZE]();

    static int soc = -1;
    p_soc = &soc;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(PORT);
    addr.sin_addr.s_addr = htonl(INADDR_ANY);

    const bool handed = (soc = handedListener()) >= 0;
    if (!handed)
        soc = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (soc == -1) {
        std::perror("server: socket");
        return -1;
    }
    // A restart binds at once although old connections linger in TIME_WAIT.
    int one = 1;
    setsockopt(soc, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (!handed && bind(soc, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        std::perror("server: bind");
        return -1;
    }
    if (!handed && listen(soc, 1) != 0) {
        std::perror("server: listen");
        return -1;
    }
    // Under a service manager: serving from here on.
    sd_notify(0, "READY=1");

    static char recvBuff[RECV_MAX + 1];
    for (;;) {
        if (waitReadable(soc) != Wait::Ready) {
            std::perror("server: accept");
            return -1;
        }
        int c = accept4(soc, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (c == -1) {
            // The listener does not block: a connection that went away
            // before it was taken is no failure.
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED || errno == EINTR)
                continue;
            std::perror("server: accept");
            return -1;
        }
        // The message is usually there by the time the connection is taken;
        // only a peer that has sent nothing yet is waited for. A signal that
        // comes from here on is seen once this message is handled.
        ssize_t n = read(c, recvBuff, RECV_MAX);
        if (n == -1 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            Wait w = waitReadable(c, IDLE_PEER_MS, false);
            if (w == Wait::TimedOut) {
                std::fprintf(stderr, "[server] %s sent nothing within %d s; closed\n",
                             peerName(c).c_str(), IDLE_PEER_MS / 1000);
                close(c);
                continue;
            }
            if (w != Wait::Ready) {
                std::perror("server: read");
                return -1;
            }
            n = read(c, recvBuff, RECV_MAX);
        }
        if (n == -1) {
            std::perror("server: read");
            return -1;
        }
        close(c);
        recvBuff[n] = '\0';
        logLine(stderr, "[RCV] %s\n", logSafe(recvBuff, true).c_str());
        parseThis(recvBuff);
        logLine(stdout, "[memory] currentChannel: '%s'\n[memory] currentUser: '%s'\n",
                logSafe(p_currentChannel).c_str(), logSafe(p_currentUser).c_str());
    }
}
