// The real daemon against peers, programs and a database that do not answer,
// and against values that would forge log lines: every wait ends, SIGINT is
// never put off, and the log shows every value on its own line.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <mysql.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "harness.hpp"
#include "web.hpp"

using namespace vt;

namespace {

const std::string kFarewell = "\nExiting...\nThank you for flying with VelmoraServer.\n";
const std::string kRestored = "[player] restored\n[background] restored\n";
const std::string kClosed = "\n[server] close() returned 0 (0 - succesful)\n";
const std::string kConnectFailed = "[db_connect] Failed to connect to MYSQL database: Error: ";

size_t count(const std::string& text, const std::string& needle)
{
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++n;
    return n;
}

// Each part occurs after the end of the one before it.
::testing::AssertionResult in_order(const std::string& text,
                                    std::initializer_list<std::string> parts)
{
    size_t pos = 0;
    for (const std::string& p : parts) {
        if ((pos = text.find(p, pos)) == std::string::npos)
            return ::testing::AssertionFailure() << "missing or out of order: \"" << p << "\" in:\n"
                                                 << text;
        pos += p.size();
    }
    return ::testing::AssertionSuccess();
}

std::string last_line(const std::string& text)
{
    size_t end = text.size() && text.back() == '\n' ? text.size() - 1 : text.size();
    size_t start = text.rfind('\n', end ? end - 1 : 0);
    return text.substr(start == std::string::npos ? 0 : start + 1, end - (start + 1));
}

// A second client of a test database that holds what its statements lock
// (by default every state row) until it goes.
struct RowLock {
    MYSQL* m = mysql_init(nullptr);
    explicit RowLock(const char* table = "userHasState",
                     const char* socket = std::getenv("MYSQL_UNIX_PORT"))
    {
        EXPECT_TRUE(
            mysql_real_connect(m, "localhost", "root", "lampaNaSTOLe42", "dvb", 0, socket, 0));
        EXPECT_EQ(mysql_query(m, "START TRANSACTION"), 0);
        const std::string hold = std::string("UPDATE ") + table + " SET idu = idu";
        EXPECT_EQ(mysql_query(m, table[0] ? hold.c_str() : "FLUSH TABLES WITH READ LOCK"), 0);
    }
    ~RowLock() { mysql_close(m); } // rolls back
};

struct Bounds : ::testing::Test {
    void SetUp() override { reset_database(); }
};

} // namespace

// SIGINT while a notification hangs: the notification is stopped at once, the
// rest of the message is left, and neither queued connection is served.
TEST_F(Bounds, SigintFinishesTheMessageInHandAndServesNoMore)
{
    TestEnv env({false, "notify-send=hang"});
    Daemon d(env);
    d.start();
    set_online({"anna"});
    d.send(message(user_xml("anna", "notify", "slow") + user_xml("anna", "list", "online")));
    ASSERT_TRUE(env.wait_invocations_of("notify-send", 1));
    d.send(message(user_xml("peter", "join"))); // both wait in the listen queue
    d.send(message(user_xml("eva", "join")));
    d.sigint();
    EXPECT_EQ(d.wait_exit(), 0);
    const std::string err = d.err();
    EXPECT_EQ(count(err, "[RCV] "), 1u) << err;
    EXPECT_TRUE(in_order(err, {"[player] notify-send stopped by the shutdown\n",
                               "[player_notify] notify-send 'xml notify' 'slow' 15\n", kClosed}));
    EXPECT_EQ(err.find("[cmd_list]"), std::string::npos) << err;
    EXPECT_EQ(err.find("did not end"), std::string::npos) << err;
    EXPECT_TRUE(in_order(d.out(), {"[memory] currentUser: ''\n", kFarewell + kRestored}));
    EXPECT_EQ(env.invocations_of("notify-send").size(), 1u);
    EXPECT_EQ(user_state("anna"), "offline");
    EXPECT_EQ(user_state("peter"), "offline");
}

// Connections are read side by side: a message behind silent ones is handled
// at once, each silent one is closed after its own 5 s, and of more than 64
// waiting the oldest are closed unread.
TEST_F(Bounds, SilentPeersDelayNobody)
{
    TestEnv env;
    Daemon d(env);
    d.start();
    std::vector<int> idle;
    std::vector<std::string> names;
    for (int i = 0; i < 66; ++i) {
        idle.push_back(d.connect_open());
        sockaddr_in me{};
        socklen_t len = sizeof me;
        ASSERT_EQ(getsockname(idle.back(), reinterpret_cast<sockaddr*>(&me), &len), 0);
        names.push_back("[server] 127.0.0.1:" + std::to_string(ntohs(me.sin_port)));
    }
    d.send_and_wait(message(user_xml("anna", "list", "online")), 30000);
    EXPECT_TRUE(in_order(d.err(), {names[0] + " closed unread: more than 64 connections wait\n",
                                   names[1] + " closed unread: more than 64 connections wait\n",
                                   "[RCV] ", "[cmd_list] online is empty\n"}));
    EXPECT_EQ(count(d.err(), "sent nothing"), 0u) << d.err();
    EXPECT_TRUE(d.wait_stderr(" sent nothing within 5 s; closed\n", 30000, 64)) << d.err();
    EXPECT_TRUE(in_order(d.err(), {"[RCV] ", names[2] + " sent nothing within 5 s; closed\n",
                                   names[65] + " sent nothing within 5 s; closed\n"}));
    for (int fd : idle) {
        pollfd p{fd, POLLIN, 0};
        char c;
        EXPECT_TRUE(poll(&p, 1, 5000) == 1 && read(fd, &c, 1) <= 0) << "not closed, or sent a byte";
        close(fd);
    }
    EXPECT_TRUE(d.running());
}

// SIGINT during the start-up restore (a hung fbsetbg): the port is not yet
// listened on, the program is stopped at once, and the start ends in order
// with nothing left running.
TEST_F(Bounds, SigintDuringStartUpEndsItInOrder)
{
    TestEnv env({false, "fbsetbg=hang"});
    Daemon d(env);
    d.spawn();
    ASSERT_TRUE(env.wait_invocations_of("fbsetbg", 1));
    EXPECT_THROW(close(d.connect_open()), std::runtime_error);
    d.sigint();
    EXPECT_EQ(d.wait_exit(), 0);
    EXPECT_TRUE(in_order(d.err(), {"[player] fbsetbg stopped by the shutdown\n", kClosed,
                                   "[server] db_set_all_offline() returned 0 (0 - succesful)\n"}));
    // At start-up by the SIGINT, and after its 5 s in the shutdown.
    const std::string stopped = "[player] restored\n[background] not restored: fbsetbg black.jpg ";
    EXPECT_TRUE(in_order(d.out(), {stopped + "stopped by the shutdown\n", kFarewell,
                                   stopped + "was stopped\n"}));
    EXPECT_TRUE(pids_named("fbsetbg").empty());
}

// Started with standard output closed, or into a pipe that nobody reads, the
// daemon serves as ever: only the lines it cannot write are lost.
TEST_F(Bounds, ClosedOrBrokenStdoutLosesOnlyLines)
{
    for (const char* redirect : {">&-", "> >(exit 0)"}) {
        SCOPED_TRACE(redirect);
        reset_database();
        TestEnv env;
        Daemon d(env, {}, {"bash", "-c", std::string("exec \"$0\" \"$@\" ") + redirect});
        d.start(20000, false);
        d.send(message(user_xml("anna", "join")));
        EXPECT_TRUE(d.wait_stderr("[cmd_join] anna is now online.\n"));
        EXPECT_EQ(user_state("anna"), "online");
        d.sigint();
        EXPECT_EQ(d.wait_exit(), 0);
        EXPECT_EQ(user_state("anna"), "offline");
    }
}

// A hung program is stopped after 5 s: SIGTERM, and SIGKILL for one that
// ignores it, and the second user's at once when the message's 15 s are spent;
// the daemon goes on and leaves neither running nor a zombie.
TEST_F(Bounds, HungProgramsAreStoppedAndTheDaemonGoesOn)
{
    TestEnv env({false, "amixer=hang,notify-send=hang-noterm"});
    Daemon d(env);
    d.start();
    d.send_and_wait(message(user_xml("anna", "volume", "plus") + user_xml("eva", "volume", "plus")),
                    40000);
    EXPECT_TRUE(in_order(d.err(), {"[player] amixer did not end within 5 s; stopped\n",
                                   "[player] notify-send did not end within 5 s; stopped\n",
                                   "[player_notify] notify-send 'Volume' 'up' 9\n",
                                   "[player] amixer stopped: the message's 15 s are spent\n"}));
    EXPECT_TRUE(pids_named("amixer").empty());
    EXPECT_TRUE(pids_named("notify-send").empty());
    EXPECT_TRUE(zombie_children_of(d.pid()).empty());
    d.send_and_wait(message(user_xml("anna", "list", "online")));
    EXPECT_TRUE(d.wait_stderr("[cmd_list] online is empty\n"));
}

// A stopped server fails the connect after its time-out as an unreachable
// one does, also in the shutdown; once it goes on, a new daemon serves. A
// statement stuck on a locked row is refused by the server itself before the
// client's read time-out, and the daemon goes on.
TEST_F(Bounds, FrozenDatabaseEndsTheConnectAndTheStatement)
{
    TestEnv env;
    {
        Daemon d(env);
        d.start();
        FrozenDatabase frozen;
        d.send(message(user_xml("anna", "list", "online")));
        EXPECT_EQ(d.wait_exit(30000), 255);
        EXPECT_EQ(last_line(d.err()).rfind(kConnectFailed, 0), 0u) << d.err();
    }
    {
        Daemon d(env);
        d.start();
        FrozenDatabase frozen;
        d.sigint();
        EXPECT_EQ(d.wait_exit(30000), 255);
        EXPECT_EQ(d.out(), kRestored + kFarewell);
        EXPECT_TRUE(in_order(d.err(), {kClosed, kConnectFailed}));
    }
    Daemon d(env);
    d.start();
    d.send_and_wait(message(user_xml("anna", "list", "online")));
    EXPECT_TRUE(d.wait_stderr("[cmd_list] online is empty\n"));
    {
        RowLock lock;
        d.send_and_wait(message(user_xml("anna", "join")), 40000);
    }
    EXPECT_TRUE(in_order(d.err(), {"[db_set_user_state] Failed to select 'UPDATE userHasState SET "
                                   "ids=(SELECT id FROM states WHERE state='online'), place='",
                                   "' WHERE idu=(SELECT id FROM users WHERE name='anna');' from "
                                   "MYSQL database 'dvb': "}));
    EXPECT_EQ(d.err().find("Lost connection"), std::string::npos) << d.err();
    d.send_and_wait(message(user_xml("anna", "list", "online")));
    EXPECT_TRUE(d.wait_stderr("[cmd_list] online is empty\n")) << d.err();
}

// Control characters from a message, the database or a notification reach
// the log as \xNN; "[RCV]" keeps only tabs. Programs and SQL still get the
// values as they are.
TEST_F(Bounds, LoggedValuesCannotForgeLines)
{
    const std::string forged = "[server] db_set_all_offline() returned 0 (0 - succesful)";
    const std::string esc_channel = "ct\x1b[2Jx";
    db_exec("INSERT INTO channels (name) VALUES (" + sql_quote(esc_channel) +
            "); UPDATE userHasLast SET idc = (SELECT id FROM channels WHERE name = " +
            sql_quote(esc_channel) + ") WHERE idu = (SELECT id FROM users WHERE name = 'anna')");
    const struct {
        std::string bytes, out, err;
    } cases[] = {
        {message("<user><name>x&#10;" + forged +
                 "</name><command>list</command><presence>on&#9;line&#13;</presence></user>"),
         "\n[MSG] x\\x0a" + forged + " list on\\x09line\\x0d\n",
         "[cmd_list] on\\x09line\\x0d is empty\n"},
        {"<m><a/><users>\r\n\t" + user_xml("anna", "list", "online") + "</users></m>", "",
         "[RCV] <m><a/><users>\\x0d\\x0a\t" + user_xml("anna", "list", "online") +
             "</users></m>\n"},
        {message("<user><name>anna</name><command>notify</command><presence>a&#10;b</presence>"
                 "</user>"),
         "", "[player_notify] notify-send 'xml notify' 'a\\x0ab' 0\n"},
        {message("<user><name>y&#10;" + forged + "</name><command>join</command></user>"), "",
         "[player_set_background] user: y\\x0a" + forged.substr(0, 17) + "\n"}, // 19 bytes
        {message(user_xml("anna", "join")), "[memory] currentChannel: 'ct\\x1b[2Jx'\n",
         "DB [LAST] ct\\x1b[2Jx\n"},
    };
    TestEnv env;
    Daemon d(env);
    d.start();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        d.send_and_wait(c.bytes);
        EXPECT_TRUE(d.wait_stderr(c.err)) << d.err();
        EXPECT_NE(d.out().find(c.out), std::string::npos) << d.out();
    }
    EXPECT_TRUE(d.wait_stderr("[cmd_join] player_set_channel(ct\\x1b[2Jx)\n"));
    auto runs = env.invocations_of("notify-send");
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].argv.back(), "a\nb");
    EXPECT_EQ(user_state("anna"), "online");
    // A raw escape byte makes the message ill-formed; its "[RCV]" line still shows it escaped.
    d.send("<m>\x1b</m>");
    EXPECT_EQ(d.wait_exit(), 255);
    EXPECT_NE(d.err().find("[RCV] <m>\\x1b</m>\n"), std::string::npos) << d.err();
    for (const std::string& text : {d.out(), d.err()})
        EXPECT_EQ(text.find('\x1b'), std::string::npos) << text;
    for (const std::string& line : d.err_lines())
        EXPECT_NE(line.rfind("[server] db_set", 0), 0u) << line;
}

// The page posts three hung notifications, which spend the message's 15 s, and a leave: the
// leave still restores the screen with 5 s per program and starts the channel of the one who
// stays. Its fbsetbg black.jpg hangs: the log says so, and the page shows the welcome still on
// the screen. Meanwhile two TCP messages and two of the page's come: they take turns.
TEST_F(Bounds, TheScreenFollowsTheHouseholdWhateverTheBudgetAndSourcesTakeTurns)
{
    TestEnv env({false, "notify-send=hang"});
    const std::string fbsetbg = env.bindir() + "/fbsetbg";
    unlink(fbsetbg.c_str()); // a link to the stand-in: not to be written through
    write_script(fbsetbg, "[ \"$1\" != black.jpg ] || exec /bin/sleep 60");
    Daemon d(env);
    d.args({"--config", web_config(env)});
    d.start(30000, false);
    const std::string kept = "[background] not restored: fbsetbg black.jpg was stopped\n";
    ASSERT_TRUE(d.wait_stdout("[player] restored\n" + kept, 20000)) << d.out();
    d.send_and_wait(message(user_xml("anna", "join") + user_xml("peter", "join")));
    const std::vector<std::string> key = {"Authorization: Bearer " + web_key(env)};
    for (int i = 0; i < 500 && http("GET", "/api/screen.jpg", key).body != "standin image\n"; ++i)
        usleep(20000); // until the welcome is on the screen
    auto post = [&](const std::string& json) { http("POST", "/api/command", key, json); };
    const std::string notify = R"({"command":"notify","presence":"hung"},)";
    post("[" + notify + notify + notify + R"({"name":"anna","command":"leave"}])");
    ASSERT_TRUE(env.wait_invocations_of("notify-send", 1));
    post(R"({"command":"list","presence":"web1"})");
    post(R"({"command":"list","presence":"web2"})");
    d.send(message(user_xml("x", "list", "tcp1")));
    d.send(message(user_xml("x", "list", "tcp2")));
    ASSERT_TRUE(d.wait_stderr(" is empty\n", 60000, 4)) << d.err();
    EXPECT_TRUE(in_order(d.err(), {"[player] notify-send stopped: the message's 15 s are spent\n",
                                   "[cmd_leave] anna is now offline.\n",
                                   "[player] fbsetbg did not end within 5 s; stopped\n",
                                   "[cmd_list] tcp1 is empty\n", "[cmd_list] web1 is empty\n",
                                   "[cmd_list] tcp2 is empty\n", "[cmd_list] web2 is empty\n"}));
    EXPECT_EQ(count(d.out(), "[player] restored\n" + kept), 2u) << d.out();
    EXPECT_EQ(http("GET", "/api/screen.jpg", key).body, "standin image\n");
    EXPECT_TRUE(env.wait_invocations_of("mplayer", 1));
}

// Every write keeps the lock bound (the server refuses it under a lock, and
// it never takes effect later), and its limits travel in its own query;
// reads send none.
TEST_F(Bounds, WritesCarryTheLockBoundAndReadsGoWithout)
{
    db_exec("SET GLOBAL log_output = 'TABLE'; TRUNCATE mysql.general_log; "
            "SET GLOBAL general_log = 1");
    TestEnv env;
    Daemon d(env);
    d.start();
    d.send_and_wait(message(user_xml("x", "list", "online")));
    set_online({"peter"});
    // The state rows, the last channels, a global read lock, the state rows at the shutdown.
    int status = -1;
    for (const auto& [table, user] : std::vector<std::pair<const char*, std::string>>{
             {"userHasState", user_xml("anna", "join")},
             {"userHasLast", user_xml("x", "change", "ct2")},
             {"", user_xml("peter", "leave")},
             {"userHasState", ""}}) {
        RowLock lock(table);
        if (!user.empty())
            d.send_and_wait(message(user), 40000);
        else
            d.sigint(), status = d.wait_exit(30000); // while the lock is held
    }
    EXPECT_EQ(status, 0);
    EXPECT_EQ(count(d.err(), "Failed to select 'UPDATE userHasLast"), 2u)
        << d.err(); // and 3 states and the join's place
    EXPECT_EQ(count(d.err(), "Failed to select 'UPDATE "), 5u) << d.err();
    EXPECT_EQ(d.err().find("Lost connection"), std::string::npos) << d.err();
    EXPECT_EQ(user_state("anna") + user_state("peter") + user_last("peter"), "offlineonlinect3");
    // The join's (its place follows on the same connection), the change's, the leave's (the
    // lasts follow on the message's connection) and the shutdown's, in their query.
    EXPECT_EQ(db_rows("SELECT COUNT(*), SUM(argument LIKE 'SET SESSION lock_wait_timeout=3, "
                      "innodb_lock_wait_timeout=3, max_statement_time=3;UPDATE %') FROM "
                      "mysql.general_log WHERE argument LIKE 'SET SESSION%' AND argument NOT LIKE "
                      "'%televisions%'")[0],
              (std::vector<std::string>{"4", "4"}));
    db_exec("SET GLOBAL general_log = 0; TRUNCATE mysql.general_log");
}

// A server without one of the limits (a MariaDB without InnoDB) keeps the
// others: one line, once, names what it refused, and a write under a global
// read lock is still refused by the server.
TEST_F(Bounds, AServerWithoutALimitKeepsTheOthers)
{
    TestEnv env;
    const std::string dbctl = VELMORA_SOURCE_DIR "/scripts/dbctl", dir = env.dir() + "/db";
    Ran up = run({dbctl, "start", dir}, "",
                 {"VELMORA_DB_TCP_PORT=", "VELMORA_DB_SERVER_OPTIONS="
                                          "--innodb=OFF --default-storage-engine=Aria --sql-mode="},
                 120000);
    struct Down {
        std::string dbctl, dir;
        ~Down() { run({dbctl, "destroy", dir}); }
    } down{dbctl, dir};
    ASSERT_EQ(up.status, 0) << up.err;
    const std::string socket = up.out.substr(0, up.out.find('\n'));
    Daemon d(env, {"MYSQL_UNIX_PORT=" + socket});
    d.start();
    d.send_and_wait(message(user_xml("anna", "join") + user_xml("anna", "leave")));
    {
        RowLock lock("", socket.c_str());
        d.send_and_wait(message(user_xml("eva", "join")), 40000);
    }
    const std::string refused = "[database] session limits the server refused: innodb_lock_wait_"
                                "timeout (Unknown system variable 'innodb_lock_wait_timeout'); the "
                                "others hold\n";
    EXPECT_EQ(count(d.err(), refused), 1u) << d.err();
    EXPECT_EQ(count(d.err(), "Failed to select"), 1u) << d.err(); // eva's state with her place:
    EXPECT_TRUE(d.wait_stderr("name='eva');' from MYSQL database 'dvb': ")) << d.err();
    EXPECT_EQ(d.err().find("Lost connection"), std::string::npos) << d.err();
}
