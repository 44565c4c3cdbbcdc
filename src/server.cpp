#include "server.hpp"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include <libxml/parser.h>

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
constexpr int ENTITY_DEPTH_MAX = 8;

volatile sig_atomic_t g_sigint = 0;
// The signal mask of the serving loop's waits: SIGINT and SIGCHLD are blocked
// everywhere else, so a signal is taken only where the loop can act on it.
sigset_t g_wait_mask;

// ---------------------------------------------------------------- messages

struct DocFree {
    void operator()(xmlDoc* d) const { xmlFreeDoc(d); }
};
using Doc = std::unique_ptr<xmlDoc, DocFree>;

[[noreturn]] void reject(const char* fmt, const xmlChar* name = nullptr)
{
    std::fprintf(stderr, fmt, reinterpret_cast<const char*>(name));
    rejectExit(-1);
    std::exit(-1);
}

// The text of a field element's own text, CDATA and entity-reference
// children; entities are expanded in place, bounded in depth and size.
void appendValue(xmlDocPtr doc, xmlNodePtr list, std::string& out, bool& any, int depth)
{
    for (xmlNodePtr n = list; n != nullptr && out.size() < VALUE_MAX; n = n->next) {
        if (n->type == XML_TEXT_NODE || n->type == XML_CDATA_SECTION_NODE) {
            any = true;
            if (n->content)
                out += reinterpret_cast<const char*>(n->content);
        } else if (n->type == XML_ENTITY_REF_NODE) {
            xmlEntityPtr ent = xmlGetDocEntity(doc, n->name);
            if (ent == nullptr) {
                any = true;
                if (n->content)
                    out += reinterpret_cast<const char*>(n->content);
            } else if (depth < ENTITY_DEPTH_MAX) {
                appendValue(doc, ent->children, out, any, depth + 1);
            }
        }
    }
}

// A field: whether the element occurred, and its value when it has one.
struct Field {
    bool found = false;
    std::optional<std::string> value;

    void take(xmlDocPtr doc, xmlNodePtr element)
    {
        found = true;
        std::string text;
        bool any = false;
        appendValue(doc, element->children, text, any, 0);
        if (any)
            value = std::string(cutText(text, VALUE_MAX));
        else
            value.reset();
    }
    // What a handler gets: a missing value is the empty text.
    const char* text() const { return value ? value->c_str() : ""; }
    // What the log shows: a missing value is told from an empty one.
    const char* shown() const { return value ? value->c_str() : "(null)"; }
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

// Waits until fd is readable. SIGINT runs the shutdown sequence from here;
// finished children are collected while the loop is idle.
bool waitReadable(int fd)
{
    for (;;) {
        if (g_sigint)
            shutdownSequence();
        pollfd p{fd, POLLIN, 0};
        if (ppoll(&p, 1, nullptr, &g_wait_mask) >= 0)
            return true;
        if (errno != EINTR)
            return false;
        reap_children();
    }
}

} // namespace

void signalHandler(int)
{
    g_sigint = 1;
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
    std::printf("\n[MSG] %s %s %s\n", r.name.shown(), r.command.shown(), r.presence.shown());
    if (r.command.found)
        dispatch(r);
    if (r.probability.found) {
        int prob = probability(r.probability);
        std::fprintf(stderr, "[server] user: %s, prob: %d\n", r.name.shown(), prob);
        if (prob > 50) {
            setCurrentUser(r);
            handlers.join(p_currentUser, p_currentChannel);
        }
    }
}

void parseThis(const char* text)
{
    Doc doc(xmlReadMemory(text, static_cast<int>(std::strlen(text)), "text.xml", nullptr, 0));
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
        // A CDATA section has no name; it is shown as printf shows a null text.
        std::string name = cur->name ? reinterpret_cast<const char*>(cur->name) : "(null)";
        doc.reset();
        reject("Error: Document of the wrong type node: %s != users.\n", BAD_CAST name.c_str());
    }
    for (xmlNodePtr n = cur->children; n != nullptr; n = n->next)
        if (!xmlStrcmp(n->name, BAD_CAST "user"))
            parseUsers(doc.get(), n);
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

    soc = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (soc == -1) {
        std::perror("server: socket");
        return -1;
    }
    // A restart binds at once although old connections linger in TIME_WAIT.
    int one = 1;
    setsockopt(soc, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(soc, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        std::perror("server: bind");
        return -1;
    }
    if (listen(soc, 1) != 0) {
        std::perror("server: listen");
        return -1;
    }

    static char recvBuff[RECV_MAX + 1];
    for (;;) {
        if (!waitReadable(soc)) {
            std::perror("server: accept");
            return -1;
        }
        int c = accept4(soc, nullptr, nullptr, SOCK_CLOEXEC);
        if (c == -1) {
            // The listener does not block: a connection that went away
            // before it was taken is no failure.
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED || errno == EINTR)
                continue;
            std::perror("server: accept");
            return -1;
        }
        if (!waitReadable(c)) {
            std::perror("server: read");
            return -1;
        }
        ssize_t n = read(c, recvBuff, RECV_MAX);
        if (n == -1) {
            std::perror("server: read");
            return -1;
        }
        close(c);
        recvBuff[n] = '\0';
        std::fprintf(stderr, "[RCV] %s\n", recvBuff);
        parseThis(recvBuff);
        std::printf("[memory] currentChannel: '%s'\n", p_currentChannel);
        std::printf("[memory] currentUser: '%s'\n", p_currentUser);
        reap_children();
    }
}
