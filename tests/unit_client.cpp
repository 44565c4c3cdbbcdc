// velmora-send alone: the document it writes for each form, what it refuses
// before connecting, and a port nobody listens on.
#include <gtest/gtest.h>

#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "harness.hpp"

using namespace vt;

namespace {

const std::string kHead = "<velmora><app>velmora-send</app><users>";
const std::string kTail = "</users></velmora>";

// A socket on 127.0.0.1 with a port of the system's choosing; listening
// unless told otherwise.
struct Socket {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int port = 0;
    explicit Socket(bool listening = true)
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), len), 0);
        EXPECT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len), 0);
        port = ntohs(a.sin_port);
        if (listening) {
            EXPECT_EQ(listen(fd, 4), 0);
        }
    }
    ~Socket() { close(fd); }
    // connect() has queued a connection by the time it returns.
    bool connection_pending() const
    {
        pollfd p{fd, POLLIN, 0};
        return poll(&p, 1, 0) == 1;
    }
};

std::vector<std::string> client(int port, std::vector<std::string> args)
{
    args.insert(args.begin(), {VELMORA_SEND_BIN, "--port", std::to_string(port)});
    return args;
}

// Whether a velmora-send started by this test process still runs.
bool client_running()
{
    for (pid_t pid : pids_named("velmora-send")) {
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        for (std::string line; std::getline(status, line);)
            if (line == "PPid:\t" + std::to_string(getpid()))
                return true;
    }
    return false;
}

// Runs the client against a listener that takes one connection, reads it to
// its end and only then closes: the bytes the daemon would have read, and
// whether the client was still waiting for that close.
struct Sent {
    Ran ran;
    std::string bytes;
    bool waited = false;
};
Sent send_via_listener(const std::vector<std::string>& args, const std::string& input = "")
{
    Socket s;
    std::string bytes;
    bool waited = false;
    std::thread peer([&] {
        pollfd p{s.fd, POLLIN, 0};
        if (poll(&p, 1, 30000) != 1)
            return;
        int c = accept(s.fd, nullptr, nullptr);
        char buf[4096];
        for (ssize_t n; (n = read(c, buf, sizeof buf)) > 0;)
            bytes.append(buf, n);
        waited = client_running();
        close(c);
    });
    Ran ran = run(client(s.port, args), input);
    peer.join();
    return {ran, bytes, waited};
}

} // namespace

TEST(Client, WritesOneEscapedDocumentPerForm)
{
    const std::string name941(941, 'n'); // the document is then exactly 1024 bytes
    const struct {
        std::vector<std::string> args;
        std::string users;
    } cases[] = {
        {{"anna", "join"}, "<user><name>anna</name><command>join</command></user>"},
        {{"anna", "notify", "Dinner is ready"},
         "<user><name>anna</name><command>notify</command><presence>Dinner is "
         "ready</presence></user>"},
        {{"anna", "volume", "plus"},
         "<user><name>anna</name><command>volume</command><presence>plus</presence></user>"},
        {{"x", "change", "ct3"},
         "<user><name>x</name><command>change</command><presence>ct3</presence></user>"},
        {{"--probability", "87", "anna"},
         "<user><name>anna</name><probability>87</probability></user>"},
        {{"x", "l:0 r:3"}, "<user><name>x</name><command>l:0 r:3</command></user>"},
        {{"anna", "join", "--", "-p", "51", "peter", "leave"},
         "<user><name>anna</name><command>join</command></user><user><name>peter</"
         "name><command>leave</command><probability>51</probability></user>"},
        {{"--host", "localhost", "x", "notify", "<b> & \"q\" 'a'\r -- Žluťoučký kůň ☃"},
         "<user><name>x</name><command>notify</command><presence>&lt;b&gt; &amp; &quot;q&quot; "
         "'a'&#13; -- Žluťoučký kůň ☃</presence></user>"},
        {{"x", "notify", "-5 degrees"},
         "<user><name>x</name><command>notify</command><presence>-5 degrees</presence></user>"},
        {{name941}, "<user><name>" + name941 + "</name></user>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.back());
        Sent s = send_via_listener(c.args);
        EXPECT_EQ(s.ran.status, 0) << s.ran.err;
        EXPECT_EQ(s.ran.out + s.ran.err, "");
        EXPECT_EQ(s.bytes, kHead + c.users + kTail);
        EXPECT_TRUE(s.waited); // its side shut down, it waited for ours
    }
    EXPECT_EQ((kHead + "<user><name>" + name941 + "</name></user>" + kTail).size(), 1024u);

    const std::string raw = "<m>\n  <users><user><name>a</name></user></users>\n</m>\n";
    Sent s = send_via_listener({"--raw"}, raw);
    EXPECT_EQ(s.ran.status, 0) << s.ran.err;
    EXPECT_EQ(s.bytes, raw);
}

// Refused with one line and status 2, before any connection is made.
TEST(Client, RefusesBeforeConnecting)
{
    const std::string tooLong =
        "velmora-send: the message has 1025 bytes; the daemon reads at most "
        "1024\n";
    const struct {
        std::vector<std::string> args;
        std::string input, err;
    } cases[] = {
        {{std::string(942, 'n')}, "", tooLong},
        {{"--raw"}, std::string(1025, ' '), tooLong},
        {{"anna", "join", "\x01"},
         "",
         "velmora-send: presence holds a character that XML does "
         "not allow\n"},
        {{"anna", "\xff"}, "", "velmora-send: command is not UTF-8 text\n"},
        {{}, "", "velmora-send: a user needs a name (see velmora-send --help)\n"},
        {{"anna", "join", "--"},
         "",
         "velmora-send: a user needs a name (see velmora-send --help)\n"},
        {{"anna", "notify", "Dinner", "is"},
         "",
         "velmora-send: too many words for one user: 'is' (quote a text with blanks; \"--\" "
         "starts the next user)\n"},
        {{"--probability", "high", "anna"}, "", "velmora-send: not a whole number: high\n"},
        {{"--raw", "anna"},
         "",
         "velmora-send: --raw takes the whole message from standard input, no users\n"},
        {{"--bogus", "anna"},
         "",
         "velmora-send: unknown option --bogus (see velmora-send --help)\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.err);
        Socket s;
        Ran ran = run(client(s.port, c.args), c.input);
        EXPECT_EQ(ran.status, 2);
        EXPECT_EQ(ran.out, "");
        EXPECT_EQ(ran.err, c.err);
        EXPECT_FALSE(s.connection_pending());
    }
}

TEST(Client, ClosedPortIsOneLineAndStatusOne)
{
    Socket closed(false); // bound, never listening: connections are refused
    Ran ran = run(client(closed.port, {"anna", "join"}));
    EXPECT_EQ(ran.status, 1);
    EXPECT_EQ(ran.out, "");
    EXPECT_EQ(ran.err, "velmora-send: cannot connect to 127.0.0.1:" + std::to_string(closed.port) +
                           ": Connection refused\n");
}

TEST(Client, HelpListsEveryKeywordAndGestureWithAnExample)
{
    Ran ran = run({VELMORA_SEND_BIN, "--help"});
    EXPECT_EQ(ran.status, 0);
    EXPECT_EQ(ran.err, "");
    for (const char* row : {"join", "leave, leav", "list", "change, chan", "next", "prev",
                            "volume, volu", "notify, noti", "last", "getepg, trololo", "l:0 r:N",
                            "l:2 r:*", "l:3 r:*", "l:4 r:*", "l:5 r:*"}) {
        size_t at = ran.out.find(std::string("\n  ") + row + " ");
        ASSERT_NE(at, std::string::npos) << row;
        // The example is on the row, or on the line after it.
        size_t end = ran.out.find('\n', ran.out.find('\n', at + 1) + 1);
        EXPECT_NE(ran.out.substr(at, end - at).find("velmora-send "), std::string::npos) << row;
    }
    Ran version = run({VELMORA_SEND_BIN, "--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("velmora-send ", 0), 0u) << version.out;
}
