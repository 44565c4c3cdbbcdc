// The settings file and the command line: bad ones are refused before anything
// happens, every key takes effect, and two televisions share one household.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>

#include "harness.hpp"

using namespace vt;
namespace fs = std::filesystem;

namespace {

struct Settings : ::testing::Test {
    void SetUp() override { reset_database(); }
    TestEnv env;

    Ran server(const std::vector<std::string>& args)
    {
        std::vector<std::string> argv = {VELMORA_SERVER_BIN};
        argv.insert(argv.end(), args.begin(), args.end());
        return run(argv, "",
                   {"PATH=" + env.path_env(), "VELMORA_STANDIN_LOG=" + env.logpath(),
                    "XDG_CONFIG_HOME=" + env.dir()});
    }
};

} // namespace

// A bad setting or argument: one line naming the file, the line and the
// problem, status 2, and nothing touched (no program runs, no port is bound);
// --check-config says the same.
TEST_F(Settings, BadSettingsAreRefusedBeforeAnything)
{
    const std::string loose = env.dir() + "/loose.pw";
    std::ofstream(loose) << "secret\n";
    chmod(loose.c_str(), 0644);
    const std::string fifo = env.dir() + "/fifo.conf";
    mkfifo(fifo.c_str(), 0600);
    const struct {
        std::string text;               // the settings file ("" for none)
        std::vector<std::string> extra; // further arguments
        std::string line;               // the line on stderr, after "FILE"
    } cases[] = {
        {"[server]\nlisten = 0.0.0.0:70000\n",
         {},
         ":2: [server] listen: '70000' is not a port (1-65535)"},
        {"[server]\nlisten = tv:5003\n",
         {},
         ":2: [server] listen: 'tv' is not an IPv4 address (IPv6 is written [ADDRESS]:PORT)"},
        {"; the tv\n[server]\nworkdir = /no/such/dir\n",
         {},
         ":3: [server] workdir: '/no/such/dir' is not a directory"},
        {"[tv]\nx = 1\n", {}, ":2: unknown section [tv]"},
        {"[server]\ncolour = red\n", {}, ":2: unknown key 'colour' in [server]"},
        {"[guide]\npost_port = 8080\npost_port = 80\n", {}, ":3: [guide] post_port is set twice"},
        {"[server]\nlisten\n", {}, ":2: expected KEY = VALUE or [SECTION]"},
        {"[mqtt]\npassword_file = " + loose + "\n",
         {},
         ":2: [mqtt] password_file: " + loose + " is readable by group or others (chmod 600 it)"},
        {"",
         {"--config", env.dir() + "/missing.conf"},
         env.dir() + "/missing.conf: cannot read the settings file: No such file or directory"},
        // Read with a bound, and only a regular file: nothing that never ends.
        {std::string(70 * 1024, ';') + "\n",
         {},
         ": cannot read the settings file: it is larger than 64 KiB"},
        {"",
         {"--config", "/dev/zero"},
         "/dev/zero: cannot read the settings file: it is not a regular file"},
        {"",
         {"--config", fifo},
         fifo + ": cannot read the settings file: it is not a regular file"},
        {"", {"-h"}, "unknown argument '-h' (try --help)"},
        {"", {"--check-config", "--colour"}, "unknown argument '--colour' (try --help)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        std::vector<std::string> args = c.extra;
        std::string file;
        if (!c.text.empty())
            args = {"--config", file = env.write_config(c.text)};
        for (bool check : {false, true}) {
            std::vector<std::string> a = args;
            if (check && !c.text.empty())
                a.push_back("--check-config");
            Ran r = server(a);
            EXPECT_EQ(r.status, 2);
            EXPECT_EQ(r.err, "velmora-server: " + file + c.line + "\n");
            EXPECT_EQ(r.out, "");
        }
    }
    EXPECT_TRUE(env.invocations().empty()); // no restore ran
}

// --check-config prints what the daemon would use; a password only as "(set)".
TEST_F(Settings, CheckConfigShowsTheEffectiveSettings)
{
    const std::string pw = env.dir() + "/mqtt.pw";
    std::ofstream(pw) << "hunter2-secret\n";
    chmod(pw.c_str(), 0600);
    const std::string file = env.write_config("[server]\nlisten = [::]:5003\n[guide]\nhost = "
                                              "192.0.2.10\n[mqtt]\nhost = 127.0.0.1\n"
                                              "username = velmora\npassword_file = " +
                                              pw + "\n[web]\nhosts = tv.home\n");
    Ran r = server({"--config", file, "--check-config"});
    EXPECT_EQ(r.status, 0) << r.err;
    for (const std::string& line :
         {"; velmora-server 0.1.0: settings from " + file + "\n", std::string("listen = [::]:5003"),
          std::string("\nhost = 192.0.2.10\npost_port = 8080\nget_port = 8081\n"),
          std::string("\npassword = (set)\n"), std::string("\nusername = velmora\n")})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
    EXPECT_EQ(r.out.find("hunter2"), std::string::npos);
    // Files in order, a later file's keys winning and the others kept.
    const std::string later =
        env.write_config("[guide]\nhost = 192.0.2.20\n[web]\nhosts = a.home\n", "later.conf");
    r = server({"--config", file, "--config", later, "--check-config"});
    for (const std::string& line :
         {"settings from " + file + ", " + later + "\n", std::string("listen = [::]:5003"),
          std::string("\nhost = 192.0.2.20\npost_port = 8080\n"),
          std::string("\npassword = (set)\n"), std::string("\nhosts = a.home\n")})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
    // A relative path means the settings file's folder, wherever the daemon
    // starts, and is shown as the absolute path it uses.
    fs::create_directories(env.dir() + "/tv/work");
    fs::copy_file(pw, env.dir() + "/tv/mqtt.pw");
    const std::string nested = env.write_config(
        "[server]\nworkdir = work\n[mqtt]\npassword_file = mqtt.pw\n[web]\nlisten = "
        "127.0.0.1:8003\n",
        "tv/velmora.conf");
    r = server({"--config", nested, "--check-config"});
    EXPECT_EQ(r.status, 0) << r.err;
    for (const std::string& line : {"\nworkdir = " + env.dir() + "/tv/work\n",
                                    "\npassword_file = " + env.dir() + "/tv/mqtt.pw\n",
                                    "\nkey_file = " + env.dir() + "/tv/work/web.key\n"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
    // No file at all: the built-in settings.
    r = server({"--check-config"});
    EXPECT_NE(r.out.find("no settings file, built-in defaults\n[server]\nlisten = 0.0.0.0:5003"),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(env.invocations().empty());
}

// The listen address, the working directory and an option-file group with an
// account of its own take effect; the server's own log shows who connected.
TEST_F(Settings, ListenWorkdirAndDatabaseAccountTakeEffect)
{
    db_exec(
        "CREATE USER IF NOT EXISTS 'tv_test'@'localhost' IDENTIFIED BY 'tv-pass-1';"
        "GRANT SELECT, UPDATE ON dvb.* TO 'tv_test'@'localhost';"
        "SET GLOBAL log_output = 'TABLE'; SET GLOBAL general_log = 1; TRUNCATE mysql.general_log");
    const std::string tv = env.dir() + "/tv2";
    fs::copy(env.workdir(), tv, fs::copy_options::recursive);
    const std::string cnf = env.dir() + "/my.cnf";
    std::ofstream(cnf)
        << "[client]\nuser = nobody\n[velmora]\nuser = tv_test\npassword = tv-pass-1\n"
        << "socket = " << std::getenv("MYSQL_UNIX_PORT") << "\n";
    Daemon d(env, {"MYSQL_UNIX_PORT=/nonexistent.sock"}); // only the group names the server
    d.port(5013);
    d.args({"--config",
            env.write_config("[server]\nlisten = 127.0.0.1:5013\nworkdir = " + tv +
                             "\n[database]\noption_file = " + cnf + "\ngroup = velmora\n")});
    d.start();
    d.send_and_wait(message(user_xml("anna", "join")));
    EXPECT_EQ(user_state("anna"), "online");
    EXPECT_TRUE(env.wait_invocations_of("convert", 1));
    EXPECT_TRUE(fs::exists(tv + "/out.jpg"));
    EXPECT_FALSE(fs::exists(env.workdir() + "/out.jpg"));
    d.sigint();
    EXPECT_EQ(d.wait_exit(), 0) << d.err();
    EXPECT_EQ(user_state("anna"), "offline");
    auto who = db_rows("SELECT COUNT(*) FROM mysql.general_log WHERE command_type = 'Connect' AND "
                       "argument LIKE 'tv_test@localhost%'");
    db_exec(
        "SET GLOBAL general_log = 0; TRUNCATE mysql.general_log; DROP USER 'tv_test'@'localhost'");
    EXPECT_GE(std::stoi(who.at(0).at(0)), 3) << "start-up, the join and the shutdown";
    EXPECT_EQ(d.err().find("tv-pass-1"), std::string::npos);
}

// Two televisions on one household, the kitchen's over TCP with an account of
// its own: presence is shared, the room (and the viewing state) each one's
// own. The kitchen ends and starts again: the living room's people stay. A
// shutdown sets offline only the users last seen at its own.
TEST_F(Settings, TwoTelevisionsShareOneHousehold)
{
    db_exec("CREATE USER IF NOT EXISTS 'kitchen'@'127.0.0.1' IDENTIFIED BY 'k-pass-2';"
            "GRANT SELECT, UPDATE ON dvb.* TO 'kitchen'@'127.0.0.1';"
            "GRANT INSERT ON dvb.televisions TO 'kitchen'@'127.0.0.1'");
    TestEnv kitchen_env;
    const std::string cnf = kitchen_env.dir() + "/my.cnf";
    std::ofstream(cnf) << "[velmora]\nhost = 127.0.0.1\nport = " << VELMORA_TEST_DB_TCP_PORT
                       << "\nuser = kitchen\npassword = k-pass-2\n";
    Daemon living(env), kitchen(kitchen_env, {"MYSQL_UNIX_PORT=/nonexistent.sock"}),
        again(kitchen_env, {"MYSQL_UNIX_PORT=/nonexistent.sock"});
    living.args({"--config", env.write_config("[server]\nname = living room\n")});
    for (Daemon* d : {&kitchen, &again}) {
        d->port(5013);
        d->args({"--config", kitchen_env.write_config("[server]\nlisten = 127.0.0.1:5013\nname = "
                                                      "kitchen\n[database]\noption_file = " +
                                                      cnf + "\n")});
    }
    living.start();
    kitchen.start();
    living.send_and_wait(message(user_xml("anna", "join")));
    kitchen.send_and_wait(message(user_xml("x", "list", "online")));
    EXPECT_TRUE(kitchen.wait_stderr("[cmd_list] online users: anna\n"));
    kitchen.send_and_wait(message(user_xml("peter", "join")));
    ASSERT_TRUE(kitchen_env.wait_invocations_of("convert", 1));
    EXPECT_EQ(kitchen_env.invocations_of("convert")[0].argv.at(17),
              "PRESENT KNOWN USERS:\\n1. peter\\n");
    kitchen.send("<m>");
    EXPECT_EQ(kitchen.wait_exit(), 255);
    again.start();
    EXPECT_TRUE(kitchen_env.wait_invocations_of("convert", 2)); // peter's welcome again
    living.send_and_wait(message(user_xml("x", "next")));
    again.send_and_wait(message(user_xml("x", "last")));
    EXPECT_EQ(living.last_view(), "[memory] currentChannel: 'ct1'\n[memory] currentUser: 'anna'\n");
    EXPECT_EQ(again.last_view(), "[memory] currentChannel: 'ct3'\n[memory] currentUser: 'peter'\n");
    EXPECT_TRUE(env.invocations_of("convert").size() == 1); // the kitchen's join renders there
    again.sigint();
    EXPECT_EQ(again.wait_exit(), 0) << again.err();
    EXPECT_EQ(user_state("anna") + user_state("peter"), "onlineoffline");
    living.sigint();
    EXPECT_EQ(living.wait_exit(), 0) << living.err();
    db_exec("DROP USER 'kitchen'@'127.0.0.1'");
    EXPECT_EQ(user_state("anna"), "offline");
}

// A database not brought up to date: one line, then the shutdown sets every
// user offline. velmora-setup-db adds the place; a second run changes nothing.
TEST_F(Settings, AnOldDatabaseKeepsOneTelevisionsWays)
{
    db_exec("ALTER TABLE userHasState DROP COLUMN place; DROP TABLE televisions");
    set_online({"eva"});
    Daemon d(env);
    d.start();
    d.send_and_wait(message(user_xml("anna", "join")));
    d.sigint();
    EXPECT_EQ(d.wait_exit(), 0);
    EXPECT_EQ(d.err().substr(0, d.err().find("[RCV]")),
              "[database] not brought up to date for several televisions (no userHasState.place; "
              "run velmora-setup-db): this television's shutdown sets every user offline\n");
    EXPECT_TRUE(d.wait_stderr("[server] db_set_all_offline() returned 0 (0 - succesful)\n", 0));
    EXPECT_EQ(user_state("eva"), "offline");

    for (const char* added : {"velmora-setup-db: added userHasState.place to dvb", "added"}) {
        Ran r = run({VELMORA_SOURCE_DIR "/db/velmora-setup-db", "--defaults-file",
                     VELMORA_BINARY_DIR "/tests/db/admin.cnf", "--option-file", env.dir() + "/my"});
        EXPECT_EQ(r.out.find(added), added[0] == 'v' ? 0u : std::string::npos) << r.out << r.err;
        EXPECT_EQ(r.out.find("\nvelmora-setup-db: added the table televisions to dvb") !=
                      std::string::npos,
                  added[0] == 'v')
            << r.out;
    }
    EXPECT_EQ(db_rows("SELECT COUNT(place) FROM userHasState")[0][0], "0");
    db_exec("DROP USER IF EXISTS velmora@localhost");
}
