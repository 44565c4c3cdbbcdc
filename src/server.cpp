#include "server.hpp"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include <systemd/sd-daemon.h>

#include "clock.hpp"
#include "children.hpp"
#include "dispatch.hpp"
#include "display.hpp"
#include "doors.hpp"
#include "guide.hpp"
#include "household.hpp"
#include "inbox.hpp"
#include "log.hpp"
#include "message.hpp"
#include "net.hpp"
#include "player.hpp"
#include "process_end.hpp"
#include "resume.hpp"
#include "rooms.hpp"
#include "sigint.hpp"
#include "tv_state.hpp"

int* p_soc = nullptr;

void parseThis(Db& db, ViewingState& view, const char* text)
{
    MessageRead m = readUsers(text);
    if (!m.rejection.empty()) {
        std::fputs(m.rejection.c_str(), stderr);
        throw ProcessEnd{-1};
    }
    handleRecords(db, view, m.records);
}

void parseUsers(Db& db, ViewingState& view, xmlDocPtr doc, xmlNodePtr cur)
{
    handleRecord(db, view, readUser(doc, cur));
}

void signalHandler(int)
{
    sigint_note();
}

namespace {

constexpr std::size_t RECV_MAX = 1024;
// A peer that has sent nothing by then is closed, so that it cannot hold the
// television for good.
constexpr int IDLE_PEER_MS = 5000;
// Connections that may wait for their message at once.
constexpr std::size_t MAX_WAITING_PEERS = 64;
constexpr int LISTEN_BACKLOG = 128;

// The signal mask of the serving loop's waits: SIGINT and SIGCHLD are blocked
// everywhere else, so a signal is taken only where the loop can act on it.
sigset_t g_wait_mask;

// What the serving loop owns for the life of the process.
struct House {
    ViewingState view;
    std::vector<std::unique_ptr<Door>> doors; // MQTT, the page: those the settings open
};

// ---------------------------------------------------------------- lifecycle

[[noreturn]] void shutdownSequence(House& house)
{
    shutdown_begins();
    std::printf("\nExiting...\nThank you for flying with VelmoraServer.\n");
    if (*p_soc >= 0) {
        int r = close(*p_soc);
        *p_soc = -1;
        std::fprintf(stderr, "\n[server] close() returned %d (0 - succesful)\n", r);
    }
    // Every user offline; with several televisions on an up-to-date
    // database, only those last seen here. The listeners are told what the
    // database then says, and nothing when it refused. A database that
    // cannot be reached ends the sequence here (status 255).
    Db db;
    int r = db_set_offline_here(db);
    std::fprintf(stderr, "[server] db_set_all_offline() returned %d (0 - succesful)\n", r);
    if (r == 0)
        household::refresh(db);
    db.close();
    player_restore();
    tv_state::remove();
    household::message_done(db, house.view.currentUser, house.view.currentChannel);
    for (auto& door : house.doors)
        door->stop();
    house.doors.clear();
    throw ProcessEnd{0};
}

void childEnded(int) {}

// The signals that are pending while they are blocked: SIGINT runs the
// shutdown sequence, SIGCHLD collects the finished children. A signal that
// comes while a descriptor is ready stays pending (ppoll returns without
// taking it), so this is looked at after every wait that found one ready.
void takePendingSignals(House& house)
{
    if (sigint_noted())
        shutdownSequence(house);
    sigset_t pending;
    if (sigpending(&pending) != 0)
        return;
    if (sigismember(&pending, SIGINT) == 1)
        shutdownSequence(house);
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
        throw ProcessEnd{-1};
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

// A start never changes presence: it only looks whether the database is up
// to date for several televisions, reads the household for the listeners
// and leaves the television's sign of life. A database that cannot be
// reached is no reason not to serve. False when the television has been
// away too long to resume.
bool databaseAtStart()
{
    Db db;
    std::string error;
    if (!db.open(error))
        std::fprintf(stderr,
                     "[server] database not reached at start-up (%s); users keep their state\n",
                     logSafe(error).c_str());
    const bool resume = rooms::start(db);
    if (db.is_open())
        household::refresh(db);
    return resume;
}

void logViewingState(Db& db, const ViewingState& view)
{
    logLine(stdout, "[memory] currentChannel: '%s'\n[memory] currentUser: '%s'\n",
            logSafe(view.currentChannel).c_str(), logSafe(view.currentUser).c_str());
    household::message_done(db, view.currentUser, view.currentChannel);
}

// ---------------------------------------------------------------- the loop

using Clock = MonotonicClock;

// An accepted connection whose message has not come yet.
struct Peer {
    int fd;
    Clock::time_point deadline;
};

// One message, read once, handled whole on a connection of its own, opened
// when a handler first needs it and closed at the end of the message.
void handleReceived(House& house, char* recvBuff, ssize_t n)
{
    recvBuff[n] = '\0';
    logLine(stderr, "[RCV] %s\n", logSafe(recvBuff, true).c_str());
    Db db;
    parseThis(db, house.view, recvBuff);
    logViewingState(db, house.view);
}

// Set when a message has been handled since the last wait: a SIGINT that
// came during it must be seen before the next one is taken up.
bool g_handled_since_wait = false;

void noMoreAfterSigint(House& house)
{
    if (g_handled_since_wait && shutdown_requested())
        shutdownSequence(house);
    g_handled_since_wait = true;
}

// Reads the one block of a connection; false when nothing has come yet.
// A failing read ends the daemon as a failing socket call does.
bool readMessageFrom(House& house, int fd, char* recvBuff)
{
    ssize_t n = read(fd, recvBuff, RECV_MAX);
    if (n == -1 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return false;
    if (n == -1) {
        std::perror("server: read");
        throw ProcessEnd{-1};
    }
    close(fd);
    noMoreAfterSigint(house);
    handleReceived(house, recvBuff, n);
    return true;
}

// The oldest message of the other sources, if one waits.
void handleOneFromInbox(House& house)
{
    InboxMessage m;
    if (!inbox::take(m))
        return;
    noMoreAfterSigint(house);
    logLine(stderr, "[RCV %s] %s\n", logSafe(m.origin).c_str(), logSafe(m.text).c_str());
    Db db;
    handleRecords(db, house.view, m.records);
    logViewingState(db, house.view);
}

// Takes a new connection and, when its message is there already (as it
// usually is), handles it; otherwise it waits among the peers.
void acceptOne(House& house, int soc, std::vector<Peer>& peers, char* recvBuff)
{
    int c = accept4(soc, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (c == -1) {
        // The listener does not block: a connection that went away before it
        // was taken is no failure.
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED || errno == EINTR)
            return;
        std::perror("server: accept");
        throw ProcessEnd{-1};
    }
    if (readMessageFrom(house, c, recvBuff))
        return;
    if (peers.size() >= MAX_WAITING_PEERS) {
        std::fprintf(stderr, "[server] %s closed unread: more than %zu connections wait\n",
                     peerName(peers.front().fd).c_str(), MAX_WAITING_PEERS);
        close(peers.front().fd);
        peers.erase(peers.begin());
    }
    peers.push_back({c, Clock::now() + std::chrono::milliseconds(IDLE_PEER_MS)});
}

// The serving loop: it watches the listener, every accepted connection that
// has not yet sent its message, and the inbox of the other sources, and
// handles complete messages one at a time. The front ends and the inbox take
// turns, one message each per wake-up: while both have work, a connection
// that has sent its message waits for at most one inbox message, and an
// inbox message for at most one from a connection. A silent peer costs
// nobody but itself: it is closed after IDLE_PEER_MS, and of those that wait
// the oldest is closed beyond MAX_WAITING_PEERS. A SIGINT that comes during a
// message is taken by the next wait, or found pending right after it, before
// any further message is handled.
[[noreturn]] void serve(House& house, int soc)
{
    static char recvBuff[RECV_MAX + 1];
    // Both kept from one wake-up to the next: the loop allocates nothing per
    // message.
    std::vector<Peer> peers;
    std::vector<pollfd> fds;
    peers.reserve(MAX_WAITING_PEERS + 1);
    fds.reserve(MAX_WAITING_PEERS + 3);
    for (;;) {
        if (sigint_noted())
            shutdownSequence(house);
        fds.clear();
        fds.push_back({soc, POLLIN, 0});
        fds.push_back({inbox::wake_fd(), POLLIN, 0});
        for (const Peer& p : peers)
            fds.push_back({p.fd, POLLIN, 0});
        // The rooms' tick, or the first peer's deadline (deadlines follow
        // the order of acceptance: the first is the nearest).
        auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::chrono::milliseconds(rooms::ms_to_tick()));
        if (!peers.empty())
            left = std::min(left, std::chrono::duration_cast<std::chrono::nanoseconds>(
                                      peers.front().deadline - Clock::now()));
        if (left.count() < 0)
            left = left.zero();
        timespec ts{static_cast<time_t>(left.count() / 1000000000),
                    static_cast<long>(left.count() % 1000000000)};
        int r = ppoll(fds.data(), fds.size(), &ts, &g_wait_mask);
        const auto polled = Clock::now();
        g_handled_since_wait = false;
        if (r < 0) {
            if (errno != EINTR) {
                std::perror("server: accept");
                throw ProcessEnd{-1};
            }
            reap_children();
            continue;
        }
        takePendingSignals(house);

        // The front ends' turn: the message of the first connection that has
        // sent its own, in the order the connections came, else of a new one.
        // A silent one past its time is closed.
        bool front_end_served = false;
        std::size_t kept = 0;
        for (std::size_t i = 0; i < peers.size(); ++i) {
            const Peer p = peers[i];
            if (fds[2 + i].revents && !front_end_served &&
                readMessageFrom(house, p.fd, recvBuff)) {
                front_end_served = true;
                continue;
            }
            if (!fds[2 + i].revents && p.deadline <= polled) {
                std::fprintf(stderr, "[server] %s sent nothing within %d s; closed\n",
                             peerName(p.fd).c_str(), IDLE_PEER_MS / 1000);
                close(p.fd);
                continue;
            }
            peers[kept++] = p;
        }
        peers.resize(kept);
        if (!front_end_served && fds[0].revents)
            acceptOne(house, soc, peers, recvBuff);

        // The inbox's turn.
        if (fds[1].revents)
            handleOneFromInbox(house);

        // What other televisions did, between messages.
        if (rooms::ms_to_tick() == 0) {
            noMoreAfterSigint(house);
            rooms::tick(house.view);
        }
    }
}

} // namespace

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

namespace {

// Start-up, then the serving loop; it ends only by a ProcessEnd.
[[noreturn]] void run(House& house, const Settings& settings)
{
    db_configure(settings.database);
    db_configure_place(settings.server.name);
    household::name(settings.server.name);
    guide_configure(settings.guide);
    rooms::configure(settings);

    // The port first: a start that cannot serve leaves the television alone.
    static int soc = -1;
    p_soc = &soc;
    const bool handed = (soc = handedListener()) >= 0;
    if (handed && settings.server.listen_given)
        std::fprintf(stderr,
                     "[server] serving the socket the service manager handed over, not %s\n",
                     settings.server.listen.text().c_str());
    if (!handed && (soc = bindListener(settings.server.listen)) == -1)
        throw ProcessEnd{-1};
    if (auto web = web_door(settings)) {
        if (const int status = web->bind())
            throw ProcessEnd{status};
        house.doors.push_back(std::move(web));
    }

    player_restore();
    display_check();
    takePendingSignals(house);
    if (auto mqtt = mqtt_door(settings))
        house.doors.insert(house.doors.begin(), std::move(mqtt));
    for (auto& door : house.doors)
        door->start();
    const bool resume = databaseAtStart();
    takePendingSignals(house);
    if (resume)
        resume_television(settings.server.name, house.view);
    takePendingSignals(house);

    // Only now that start-up is done does anything connect.
    // The queue holds what a burst brings while the loop takes connections
    // one at a time; with a queue of one, a third connection at once would
    // wait for TCP to try again a second later.
    if (!handed && listen(soc, LISTEN_BACKLOG) != 0) {
        std::perror("server: listen");
        throw ProcessEnd{-1};
    }
    // Under a service manager: serving from here on (without one there is
    // nobody to tell).
    if (getenv("NOTIFY_SOCKET"))
        sd_notify(0, "READY=1");
    serve(house, soc);
}

} // namespace

int server_main(const Settings& settings)
{
    // Every log line reaches its stream at once, also into a pipe.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::setvbuf(stderr, nullptr, _IOLBF, 0);

    if (!settings.server.workdir.empty() && chdir(settings.server.workdir.c_str()) != 0) {
        std::perror("server: workdir");
        return -1;
    }
    House house;
    try {
        run(house, settings);
    } catch (const ProcessEnd& end) {
        // Any end but the shutdown leaves the broker to say the television
        // went offline (its will) and the users as they are.
        for (auto& door : house.doors)
            door->abandon();
        return end.status;
    }
}
