// The daemon as an installed service: fed by velmora-send, started by a
// service manager with its socket, asked for help, and short of a program.
#include <gtest/gtest.h>

#include <filesystem>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "harness.hpp"

using namespace vt;
namespace fs = std::filesystem;

namespace {

const std::string kMarker = "[memory] currentUser: ";

size_t count(const std::string& text, const std::string& needle)
{
    size_t n = 0;
    for (size_t at = 0; (at = text.find(needle, at)) != std::string::npos; at += needle.size())
        ++n;
    return n;
}

// A listening socket on port 5003 as the service manager would hold it: the
// queue is long enough for every connection made while no daemon serves.
int service_socket()
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(5003);
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    EXPECT_EQ(listen(fd, 128), 0);
    return fd;
}

// The service manager's end of NOTIFY_SOCKET.
struct NotifySocket {
    std::string path;
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    explicit NotifySocket(const std::string& p) : path(p)
    {
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        path.copy(a.sun_path, sizeof a.sun_path - 1);
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    }
    ~NotifySocket() { close(fd); }
    std::string next(int timeout_ms = 10000)
    {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) != 1)
            return "(nothing)";
        char buf[256];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        return n < 0 ? "(error)" : std::string(buf, n);
    }
};

struct Service : ::testing::Test {
    void SetUp() override { reset_database(); }
    TestEnv env;
};

} // namespace

// join, a notification with characters XML escapes, and a gesture, each sent
// by velmora-send, arrive as they were typed.
TEST_F(Service, ClientRoundTripThroughTheDaemon)
{
    const std::string text = "Dinner <5 & \"soon\" – café";
    const struct {
        std::vector<std::string> args;
        std::string msg;
    } cases[] = {
        {{"anna", "join"}, "\n[MSG] anna join (null)\n"},
        {{"anna", "notify", text}, "\n[MSG] anna notify " + text + "\n"},
        {{"x", "l:0 r:2"}, "\n[MSG] x l:0 r:2 (null)\n"},
    };
    Daemon d(env);
    d.start();
    size_t handled = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.msg);
        std::vector<std::string> argv = {VELMORA_SEND_BIN};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        Ran ran = run(argv);
        EXPECT_EQ(ran.status, 0) << ran.err;
        EXPECT_EQ(ran.out + ran.err, "");
        ASSERT_TRUE(d.wait_stdout(kMarker, 10000, ++handled)) << d.err();
        EXPECT_NE(d.out().find(c.msg), std::string::npos) << d.out();
    }
    EXPECT_EQ(user_state("anna"), "online");
    auto notes = env.invocations_of("notify-send");
    ASSERT_FALSE(notes.empty());
    EXPECT_EQ(notes[0].argv, (std::vector<std::string>{"notify-send", "xml notify", text}));
    EXPECT_NE(d.err().find("[cmd_fingers] fingers: l:0 r:2 sum:2 channel:ct1,ct2\n"),
              std::string::npos);
    ASSERT_TRUE(env.wait_invocations_of("mplayer", 1, 10000));
    EXPECT_EQ(env.invocations_of("mplayer")[0].argv.back(), "dvb://ct2");
}

// The service manager holds port 5003 and starts the daemon with it. A
// malformed message ends the daemon; the twenty sent right after it wait in
// the socket's queue and are all handled by the next daemon.
TEST_F(Service, SocketActivationKeepsMessagesAcrossARestart)
{
    std::string users = "INSERT INTO users (id, name) VALUES ";
    std::vector<std::string> names;
    for (int i = 1; i <= 20; ++i) {
        names.push_back("u" + std::to_string(100 + i));
        users += (i > 1 ? ", (" : "(") + std::to_string(100 + i) + ", '" + names.back() + "')";
    }
    db_exec(users +
            "; INSERT INTO userHasState (idu, ids) SELECT id, 2 FROM users WHERE id > 100;"
            " INSERT INTO userHasLast (idu, idc) SELECT id, NULL FROM users WHERE id > 100");

    int held = service_socket();
    NotifySocket notify(env.dir() + "/notify");
    const std::vector<std::string> vars = {"NOTIFY_SOCKET=" + notify.path};
    Daemon first(env, vars);
    first.hand_listener(held);
    first.start();
    EXPECT_EQ(notify.next(), "READY=1");

    first.send("<m><a/><users>");
    for (const std::string& name : names)
        first.send(message(user_xml(name, "join")));
    EXPECT_EQ(first.wait_exit(), 255);
    EXPECT_NE(first.err().find("Error: Document not parsed successfully.\n"), std::string::npos);

    Daemon second(env, vars);
    second.hand_listener(held);
    second.start();
    EXPECT_EQ(notify.next(), "READY=1");
    const size_t before = count(first.out(), "[MSG]");
    EXPECT_TRUE(second.wait_stdout(kMarker, 60000, names.size() - before)) << second.err();
    const std::string all = first.out() + second.out();
    EXPECT_EQ(count(all, "[MSG]"), names.size());
    for (const std::string& name : names)
        EXPECT_EQ(count(all, "\n[MSG] " + name + " join (null)\n"), 1u) << name;
    auto online = db_rows("SELECT COUNT(*) FROM userHasState h JOIN states s ON s.id = h.ids"
                          " WHERE h.idu > 100 AND s.state = 'online'");
    EXPECT_EQ(online.at(0).at(0), "20");

    second.sigint();
    EXPECT_EQ(second.wait_exit(), 0);
    close(held);
}

// --help and --version answer and exit before the screen or the port is
// touched: no program runs, and the port another listener holds stays its own.
TEST_F(Service, HelpAndVersionTouchNothing)
{
    int held = service_socket();
    const struct {
        const char* arg;
        std::string starts;
    } cases[] = {{"--help", "usage: velmora-server"}, {"--version", "velmora-server "}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arg);
        Ran ran = run({VELMORA_SERVER_BIN, c.arg}, "",
                      {"PATH=" + env.path_env(), "VELMORA_STANDIN_LOG=" + env.logpath()});
        EXPECT_EQ(ran.status, 0);
        EXPECT_EQ(ran.out.rfind(c.starts, 0), 0u) << ran.out;
        EXPECT_EQ(ran.err, "");
    }
    EXPECT_TRUE(env.invocations().empty());
    pollfd p{held, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 0); // nobody connected to it
    close(held);
}

// A program that cannot be started is named with the reason, besides the
// lines the daemon always writes; its status is still the shell's 127.
TEST_F(Service, ProgramThatCannotStartIsNamed)
{
    for (const char* prog : {"mplayer", "notify-send"})
        fs::remove(env.bindir() + "/" + prog);
    Daemon d(env, {"PATH=" + env.bindir()}); // nothing else: pkill is missing too
    d.start();
    set_online({"anna"});
    d.send_and_wait(message(user_xml("x", "change", "ct1")));
    const std::string lines[] = {
        "[exec] pkill: No such file or directory\n", // the restore at start-up
        "[exec] notify-send: No such file or directory\n"
        "[player_notify] notify-send 'Changing channel' 'ct1' 32512\n",
        "[exec] mplayer: No such file or directory\n", // the player child, after its pause
    };
    for (const std::string& line : lines)
        EXPECT_TRUE(d.wait_stderr(line, 10000)) << line << d.err();
    EXPECT_TRUE(d.wait_stderr("[exec] pkill: No such file or directory\n", 10000, 2));
    EXPECT_EQ(user_last("anna"), "ct1");
    EXPECT_TRUE(d.running());
}
