// The real daemon end to end: what it accepts from a connection, how records
// reach their handlers, and how the process starts and ends.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdlib>
#include <mysql.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "harness.hpp"

using namespace vt;

namespace {

const std::string kRestored = "[player] restored\n[background] restored\n";
const std::string kFarewell = "\nExiting...\nThank you for flying with VelmoraServer.\n";
const std::string kClosed = "\n[server] close() returned 0 (0 - succesful)\n";
const std::string kAllOffline = "[server] db_set_all_offline() returned 0 (0 - succesful)\n";
const std::string kNotParsed = "Error: Document not parsed successfully.\n";
const std::string kEmptyDoc = "Error: Empty document.\n";
const std::string kFingersNone =
    "[cmd_fingers] fingers: l:0 r:0 sum:0\n[cmd_fingers] command -50\n";

std::string wrong_node(const std::string& name)
{
    return "Error: Document of the wrong type node: " + name + " != users.\n";
}

std::string memory(const std::string& channel, const std::string& user)
{
    return "[memory] currentChannel: '" + channel + "'\n[memory] currentUser: '" + user + "'\n";
}

bool ends_with(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Each part occurs after the end of the one before it.
bool in_order(const std::string& text, std::initializer_list<std::string> parts)
{
    size_t pos = 0;
    for (const std::string& p : parts) {
        if ((pos = text.find(p, pos)) == std::string::npos)
            return false;
        pos += p.size();
    }
    return true;
}

std::string states()
{
    std::string s;
    for (auto& r : db_rows("SELECT u.name, s.state FROM users u JOIN userHasState h ON h.idu = u.id"
                           " JOIN states s ON s.id = h.ids ORDER BY u.id"))
        s += r[0] + "=" + r[1] + " ";
    return s;
}
const std::string kNobodyOnline = "anna=offline peter=offline eva=offline tom=offline ";

// What one handled message added to each stream. The harness reads the two
// pipes in turns, so let stderr catch up with the "[memory]" line first.
struct Output {
    std::string out, err;
};
Output handle(Daemon& d, const std::string& bytes)
{
    size_t o = d.out().size(), e = d.err().size();
    d.send_and_wait(bytes);
    for (size_t n = 0; n != d.err().size();)
        n = d.err().size(), usleep(30000);
    return {d.out().substr(o), d.err().substr(e)};
}

// A message with one user element written by hand.
std::string one_user(const std::string& inner)
{
    return message("<user>" + inner + "</user>");
}

// What the daemon reads of a message: one read of 1024 bytes, up to a NUL.
std::string received(const std::string& bytes)
{
    std::string shown;
    for (char c : bytes.substr(0, std::min<size_t>(bytes.find('\0'), 1024)))
        shown += c == '\n' ? "\\x0a" : std::string(1, c);
    return shown;
}

// A well-formed message of exactly n bytes: anna lists the online users, and
// the padding inside users is ignored.
std::string sized(size_t n)
{
    const std::string head = "<m><a/><users>" + user_xml("anna", "list", "online") + "<pad>";
    const std::string tail = "</pad></users></m>";
    return head + std::string(n - head.size() - tail.size(), 'x') + tail;
}

sockaddr_in address(in_addr_t addr, int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(addr);
    return a;
}

// Another program's listener. Reuse only steps over old connections in
// TIME_WAIT; a listener still holds the port against the daemon.
int listener(in_addr_t addr, int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = address(addr, port);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    EXPECT_EQ(listen(fd, 1), 0);
    return fd;
}

// A peer that keeps its end open, to see what the daemon does with the connection.
struct Peer {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    Peer()
    {
        sockaddr_in a = address(INADDR_LOOPBACK, 5003);
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    }
    ~Peer() { close(fd); }
    void send(const std::string& b)
    {
        EXPECT_EQ(::send(fd, b.data(), b.size(), MSG_NOSIGNAL), ssize_t(b.size()));
    }
    // True when the daemon ends the connection without a single byte.
    bool closed_silently()
    {
        pollfd p{fd, POLLIN, 0};
        char c;
        return poll(&p, 1, 5000) == 1 && read(fd, &c, 1) == 0;
    }
};

MYSQL* connect_db(MYSQL* m, const char* sock)
{
    return mysql_real_connect(m, "localhost", "root", "lampaNaSTOLe42", "dvb", 0, sock,
                              CLIENT_MULTI_STATEMENTS);
}

struct Fixture : ::testing::Test {
    void SetUp() override { reset_database(); }
    TestEnv env;
};
typedef Fixture IntakeReject, Intake, IntakeDispatch, Lifecycle;

} // namespace

// A rejected document ends the daemon at once: no shutdown, so the database
// and the screen keep what they had.
TEST_F(IntakeReject, EndsWith255WithoutShutdown)
{
    const struct {
        const char* what;
        std::string bytes, error;
    } cases[] = {
        {"closed without data", "", kNotParsed},
        {"not well-formed", "<m><a/><users>", kNotParsed},
        {"NUL cuts the document", std::string("<m><a/><users>\0</users></m>", 27), kNotParsed},
        {"1025 bytes: the last one is never read", sized(1025), kNotParsed},
        {"root without content", "<m/>", kEmptyDoc},
        {"users is the first child, nothing after it", "<m><users/></m>", kEmptyDoc},
        {"root users written with line breaks",
         "<users>\n  <user><name>anna</name></user>\n</users>\n", wrong_node("user")},
        {"white space after the first child", "<m><users/> </m>", wrong_node("text")},
        {"comment where users belongs", "<m><a/><!--x--><users/></m>", wrong_node("comment")},
        {"names compare case-sensitively", "<m><a/><Users/></m>", wrong_node("Users")},
        {"CDATA section has no name", "<m><a/><![CDATA[x]]></m>", wrong_node("(null)")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Daemon d(env);
        d.start();
        set_online({"anna"});
        d.send(c.bytes);
        ASSERT_EQ(d.wait_exit(), 255);
        EXPECT_TRUE(in_order(d.err(), {"[RCV] " + received(c.bytes) + "\n", c.error})) << d.err();
        EXPECT_TRUE(ends_with(d.err(), "\n" + c.error)) << d.err();
        EXPECT_EQ(d.out(), kRestored); // no record, no "[memory]", no farewell
        EXPECT_EQ(user_state("anna"), "online");
    }
    EXPECT_EQ(env.invocations_of("fbsetbg").size(), std::size(cases)); // start-up restores only
}

// Every parsed message: "[RCV]" with the text as parsed, "[MSG]" per record
// (missing values as (null), empty ones handed on as ""), then both "[memory]" lines.
TEST_F(Intake, RecordsAreLoggedAndHandedOn)
{
    const std::string list = "<command>list</command>", none = "[cmd_list] online is empty\n";
    const struct {
        std::string bytes, msg, handler;
    } cases[] = {
        {sized(1024), "anna list online", none},
        {message(user_xml("anna", "list", "online")) + std::string("\0<junk", 6),
         "anna list online", none},
        {one_user("<name>anna</name>"), "anna (null) (null)", ""},
        {one_user(list + "<presence/>"), "(null) list (null)", "[cmd_list]  is empty\n"},
        {one_user("<name> anna</name><command>last</command>"), " anna last (null)", ""},
        // the last occurrence counts, text of nested elements does not
        {one_user(list + "<presence>offline</presence><presence>on<b>x</b>line</presence>"),
         "(null) list online", none},
        {one_user(list + "<presence>on&amp;<![CDATA[<x>]]></presence>"), "(null) list on&<x>",
         "[cmd_list] on&<x> is empty\n"},
        {message("<x/><!--c--><user id=\"1\"><q>r</q><name a=\"b\">eva</name>" + list +
                 "<presence>online</presence></user>"),
         "eva list online", none},
        {"<m>\n  <users>\n    <user>" + list +
             "<presence>online</presence></user>\n  </users>\n</m>\n",
         "(null) list online", none},
        {message(""), "", ""},
    };
    Daemon d(env);
    d.start();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        Output o = handle(d, c.bytes);
        EXPECT_EQ(o.err, "[RCV] " + received(c.bytes) + "\n" + c.handler);
        EXPECT_EQ(o.out, (c.msg.empty() ? "" : "\n[MSG] " + c.msg + "\n") + memory("", ""));
    }
    EXPECT_EQ(states(), kNobodyOnline);
}

TEST_F(Intake, ProbabilityAboveFiftyJoins)
{
    const struct {
        std::string value, read;
        bool joins;
    } cases[] = {
        {"50", "50", false},
        {"51", "51", true},
        {"075", "75", true},
        {"80.5", "80", true},
        {"abc", "0", false},
        {"", "0", false},
        {" +60", "60", true},
        {"-70", "-70", false},
        {"99999999999", "2147483647", true},
        {"-99999999999", "-2147483648", false},
    };
    Daemon d(env);
    d.start();
    for (const auto& c : cases) {
        SCOPED_TRACE("probability '" + c.value + "'");
        db_exec("UPDATE userHasState SET ids = 2");
        std::string prob =
            c.value.empty() ? "<probability/>" : "<probability>" + c.value + "</probability>";
        std::string bytes = one_user("<name>anna</name>" + prob);
        Output o = handle(d, bytes);
        std::string want = "[RCV] " + bytes + "\n[server] user: anna, prob: " + c.read + "\n";
        if (c.joins)
            want += "[cmd_join] anna is now online.\n";
        EXPECT_EQ(c.joins ? o.err.substr(0, want.size()) : o.err, want);
        EXPECT_NE(o.out.find("\n[MSG] anna (null) (null)\n"), std::string::npos) << o.out;
        EXPECT_EQ(user_state("anna"), c.joins ? "online" : "offline");
    }
    // The rule runs after the handler, and joins whatever the command was.
    db_exec("UPDATE userHasState SET ids = 2");
    Output o = handle(d, message(user_xml("anna", "list", "online", "60")));
    EXPECT_TRUE(in_order(o.err, {"[cmd_list] online is empty\n", "[server] user: anna, prob: 60\n",
                                 "[cmd_join] anna is now online.\n"}))
        << o.err;
    db_exec("UPDATE userHasState SET ids = 2");
    o = handle(d, message(user_xml("anna", "join", "", "99")));
    EXPECT_TRUE(
        in_order(o.err, {"[cmd_join] anna is now online.\n", "[server] user: anna, prob: 99\n",
                         "[cmd_join] user anna already online\n"}))
        << o.err;
    EXPECT_EQ(user_state("anna"), "online");
}

// Only the whole keyword counts; anything else is read as a finger gesture.
TEST_F(IntakeDispatch, KeywordsMatchWholeTextOnly)
{
    Daemon d(env);
    d.start();
    for (std::string cmd : {"Join", " join", "join ", "joined", "LIST", ""}) {
        SCOPED_TRACE("command '" + cmd + "'");
        std::string bytes =
            cmd.empty() ? one_user("<name>anna</name><command/>") : message(user_xml("anna", cmd));
        Output o = handle(d, bytes);
        EXPECT_EQ(o.err, "[RCV] " + bytes + "\n" + kFingersNone);
        EXPECT_EQ(o.out,
                  "\n[MSG] anna " + (cmd.empty() ? "(null)" : cmd) + " (null)\n" + memory("", ""));
    }
    EXPECT_EQ(states(), kNobodyOnline);
}

TEST_F(IntakeDispatch, AliasesActAlike)
{
    const struct {
        std::string a, b, presence, line;
    } pairs[] = {
        {"leav", "leave", "", "[cmd_leave] anna is now offline.\n"},
        {"noti", "notify", "hi there", "[player_notify] notify-send 'xml notify' 'hi there' 0\n"},
        {"volu", "volume", "minus", "[player_notify] notify-send 'Volume' 'down' 0\n"},
        {"chan", "change", "ct3", "[cmd_change] ct3\n"},
        {"trololo", "getepg", "", "FAIL\n"}, // nobody serves the guide here
    };
    Daemon d(env);
    d.start();
    for (const auto& p : pairs) {
        std::string seen[2];
        for (int i = 0; i < 2; ++i) {
            const std::string& kw = i ? p.b : p.a;
            SCOPED_TRACE(kw);
            set_online({"anna"});
            std::string bytes = message(user_xml("anna", kw, p.presence));
            Output o = handle(d, bytes);
            seen[i] = o.err.substr(("[RCV] " + bytes + "\n").size());
            EXPECT_NE(seen[i].find(p.line), std::string::npos) << o.err;
        }
        EXPECT_EQ(seen[0], seen[1]) << p.a << " / " << p.b;
        EXPECT_TRUE(p.a != "leav" || user_state("anna") == "offline");
    }
    EXPECT_EQ(env.invocations_of("amixer").size(), 2u);
    handle(d, message(user_xml("anna", "last"))); // still serving after the failed exchanges
    EXPECT_TRUE(d.running());
}

// Records run in document order, each seeing the viewing state the one before left.
TEST_F(IntakeDispatch, RecordsRunInDocumentOrder)
{
    Daemon d(env);
    d.start();
    Output o = handle(
        d, message(user_xml("anna", "join") + user_xml("peter", "join") + user_xml("eva", "chan")));
    EXPECT_TRUE(in_order(o.out, {"\n[MSG] anna join (null)\n", "\n[MSG] peter join (null)\n",
                                 "\n[MSG] eva chan (null)\n", "[memory] currentChannel: 'ct2'\n",
                                 "[memory] currentUser: 'peter'\n"}))
        << o.out;
    EXPECT_TRUE(
        in_order(o.err, {"[cmd_join] anna is now online.\n", "[cmd_join] player_set_channel(ct2)\n",
                         "[cmd_join] peter is now online.\n",
                         "[cmd_join] player_set_channel(ct2)\n", "[cmd_change] ct2\n"}))
        << o.err;
}

// The current user holds 19 bytes; a longer name loses whole characters only.
TEST_F(Intake, LongNamesCutOnCharacterBoundary)
{
    const std::string z = "\xc5\xbe", euro = "\xe2\x82\xac", a17(17, 'a'); // z 2 bytes, euro 3
    const std::string zs9 = z + z + z + z + z + z + z + z + z;
    const struct {
        std::string name, kept;
        bool by_probability;
    } cases[] = {
        {"abcdefghijklmnopqrstuvwxyz", "abcdefghijklmnopqrs", false},
        {zs9 + z, zs9, false},
        {a17 + euro, a17, true},
        {a17 + z, a17 + z, false},
    };
    Daemon d(env);
    d.start();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Output o = handle(d, message(user_xml(c.name, c.by_probability ? "" : "join", "",
                                              c.by_probability ? "70" : "")));
        EXPECT_NE(o.out.find("[memory] currentUser: '" + c.kept + "'\n"), std::string::npos)
            << o.out;
        EXPECT_NE(o.err.find("[cmd_join] " + c.kept + " is now online.\n"), std::string::npos)
            << o.err;
    }
}

// The connection ends right after its read, before the message is handled: a
// guide server that never answers holds the handling, not the peer.
TEST_F(Intake, NothingIsSentBackAndEachConnectionIsClosed)
{
    if (std::string(VELMORA_GUIDE_HOST) != "127.0.0.1")
        GTEST_SKIP() << "the daemon was built for the guide server at " VELMORA_GUIDE_HOST;
    int guide = listener(INADDR_LOOPBACK, 8080);
    Daemon d(env);
    d.start();
    {
        Peer peer;
        peer.send(message(user_xml("anna", "getepg")));
        pollfd g{guide, POLLIN, 0};
        ASSERT_EQ(poll(&g, 1, 5000), 1) << "the exchange never reached the guide at 127.0.0.1:8080";
        EXPECT_TRUE(peer.closed_silently());
        EXPECT_EQ(d.out().find("[memory]"), std::string::npos); // still waiting for the guide
    }
    close(guide); // the pending request is reset: the exchange fails and the loop goes on
    ASSERT_TRUE(d.wait_stdout("[memory] currentUser: "));
    for (const std::string& bytes :
         {message(user_xml("anna", "list", "online")), std::string("<m/>")}) {
        Peer peer;
        peer.send(bytes);
        EXPECT_TRUE(peer.closed_silently());
    }
    EXPECT_EQ(d.wait_exit(), 255); // the second was rejected, after its connection ended silently
}

// A second daemon fails before it touches the running television.
TEST_F(Lifecycle, PortHeldByAnotherListener)
{
    int held = listener(INADDR_ANY, 5003);
    Daemon d(env);
    d.spawn();
    EXPECT_EQ(d.wait_exit(), 255);
    close(held);
    EXPECT_EQ(d.out(), "");
    EXPECT_EQ(d.err(), "server: bind: Address already in use\n");
    EXPECT_TRUE(env.invocations().empty());
}

TEST_F(Lifecycle, SigintWhileIdleShutsDownInOrder)
{
    Daemon d(env);
    d.start();
    set_online({"anna", "eva"});
    d.sigint();
    EXPECT_EQ(d.wait_exit(), 0);
    EXPECT_EQ(d.out(), kRestored + kFarewell + kRestored);
    EXPECT_EQ(d.err(), kClosed + kAllOffline);
    EXPECT_EQ(states(), kNobodyOnline);
}

// A peer that connected but sent nothing holds the daemon in its read: SIGINT
// still shuts down in order. A second SIGINT while the shutdown waits in its
// update (the rows are locked here) neither interrupts nor restarts it.
TEST_F(Lifecycle, SigintWhileReadingAndAgainDuringShutdown)
{
    Daemon d(env);
    d.start();
    set_online({"peter"});
    MYSQL* lock = mysql_init(nullptr);
    ASSERT_TRUE(connect_db(lock, std::getenv("MYSQL_UNIX_PORT")));
    ASSERT_EQ(mysql_query(lock, "START TRANSACTION"), 0);
    ASSERT_EQ(mysql_query(lock, "UPDATE userHasState SET ids = ids"), 0);
    Peer peer;
    // It has accepted when it holds a second socket; then it waits for data.
    auto sockets = [&] {
        size_t n = 0;
        for (const auto& [fd, target] : fds_of(d.pid()))
            n += target.rfind("socket:", 0) == 0;
        return n;
    };
    for (int i = 0; i < 1000 && sockets() < 2; ++i)
        usleep(10000);
    ASSERT_EQ(sockets(), 2u);
    d.sigint();
    ASSERT_TRUE(d.wait_stderr(kClosed));
    usleep(300000); // now blocked on the locked rows
    d.sigint();
    usleep(200000);
    EXPECT_EQ(d.err(), kClosed); // still waiting for the rows
    mysql_close(lock);           // rolls back, releasing the rows
    EXPECT_EQ(d.wait_exit(), 0);
    EXPECT_EQ(d.out(), kRestored + kFarewell + kRestored);
    EXPECT_EQ(d.err(), kClosed + kAllOffline); // no "[RCV]", no "server: read"
    EXPECT_EQ(states(), kNobodyOnline);
    EXPECT_TRUE(peer.closed_silently());
}

// Start-up tells and goes on; the first unit of work that needs the database
// ends the daemon, and so does a shutdown (without its restore).
TEST_F(Lifecycle, DatabaseUnreachable)
{
    const std::string sock = env.dir() + "/no-server.sock";
    MYSQL* m = mysql_init(nullptr);
    EXPECT_FALSE(connect_db(m, sock.c_str())); // the library's own text for it
    const std::string failed =
        "[db_connect] Failed to connect to MYSQL database: Error: " + std::string(mysql_error(m)) +
        "\n";
    const std::string at_start = "[server] database not reached at start-up (" +
                                 std::string(mysql_error(m)) + "); users keep their state\n";
    mysql_close(m);
    {
        Daemon d(env, {"MYSQL_UNIX_PORT=" + sock});
        d.start();
        Output o = handle(d, message(user_xml("anna", "last")));
        EXPECT_EQ(o.out, "\n[MSG] anna last (null)\n" + memory("", ""));
        d.send(message(user_xml("anna", "list", "online")));
        EXPECT_EQ(d.wait_exit(), 255);
        EXPECT_TRUE(ends_with(d.err(), "\n" + failed)) << d.err();
        EXPECT_TRUE(ends_with(d.out(), "\n[MSG] anna list online\n")) << d.out();
    }
    Daemon d(env, {"MYSQL_UNIX_PORT=" + sock});
    d.start();
    d.sigint();
    EXPECT_EQ(d.wait_exit(), 255);
    EXPECT_EQ(d.out(), kRestored + kFarewell);
    EXPECT_EQ(d.err(), at_start + kClosed + failed);
}

// Names and states are values, never SQL: each touches at most its own row.
TEST_F(Intake, HostileNamesChangeNothingElse)
{
    Daemon d(env);
    d.start();
    set_online({"peter", "eva"});
    const std::string before = states();
    for (std::string name : {"anna' OR '1'='1", "x' OR name='eva", "x\\' OR name='tom",
                             "'; DROP TABLE pictures; -- "}) {
        SCOPED_TRACE(name);
        for (const char* cmd : {"join", "leave"}) {
            Output o = handle(d, message(user_xml(name, cmd)));
            EXPECT_EQ(o.err.find("Failed"), std::string::npos) << o.err;
            EXPECT_EQ(states(), before);
        }
    }
    Output o = handle(d, message(user_xml("anna", "list", "online' OR '1'='1")));
    EXPECT_NE(o.err.find("[cmd_list] online' OR '1'='1 is empty\n"), std::string::npos) << o.err;
    EXPECT_EQ(
        db_rows("SELECT COUNT(*) FROM information_schema.tables WHERE table_schema = 'dvb'")[0][0],
        "9");
    EXPECT_EQ(db_rows("SELECT COUNT(*) FROM pictures")[0][0], "3");
}
