// The scripts a newcomer runs first: the private database, the suite's
// namespaces, the port held across restarts, the daemon's own account.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/stat.h>

#include "harness.hpp"

using namespace vt;
const std::string kScripts = VELMORA_SOURCE_DIR "/scripts/";

// dbctl killed as it sets root's password, its server left running: the next
// start recognises the half-made database and makes it again.
TEST(Scripts, InterruptedPrivateDatabaseIsMadeAgain)
{
    TestEnv env;
    const std::string dir = env.dir() + "/db";
    write_script(env.bindir() + "/mariadb",
                 "case \"$*\" in *'ALTER USER'*) kill -9 $PPID; exit 1;; "
                 "esac; exec /usr/bin/mariadb \"$@\"");
    EXPECT_EQ(run({kScripts + "dbctl", "start", dir}, "", {"PATH=" + env.path_env()}).status, -9);
    EXPECT_EQ(run({kScripts + "dbctl", "start", dir}).out, dir + "/mysqld.sock\n");
    EXPECT_EQ(run({"mariadb", "--defaults-file=" + dir + "/admin.cnf", "dvb", "-Nse",
                   "SELECT COUNT(*) FROM users"})
                  .out,
              "4\n");
    run({kScripts + "dbctl", "destroy", dir});
}

// scripts/test where no namespace can be made: the unit tests only, a line on
// how to run the rest, and no success; all of them when asked to, or when a
// user namespace can be made.
TEST(Scripts, TestRunsEndToEndOnlyInNamespacesOrWhenAsked)
{
    const std::string user = "case \"$*\" in *--user*) exec /usr/bin/unshare \"$@\";; esac; exit 1";
    for (const auto& [unshare, on_host, all] : {std::tuple{std::string("exit 1"), "0", false},
                                                {"exit 1", "1", true},
                                                {user, "0", true}}) {
        TestEnv env;
        for (std::string stub : {"unshare " + unshare, std::string("cmake :"),
                                 std::string("dpkg-query echo install ok installed"),
                                 "ctest echo \"$*\" >" + env.dir() + "/args"})
            write_script(env.bindir() + "/" + stub.substr(0, stub.find(' ')),
                         stub.substr(stub.find(' ') + 1));
        Ran ran = run({kScripts + "test"}, "",
                      {"PATH=" + env.path_env(), std::string("VELMORA_TEST_ON_HOST=") + on_host});
        EXPECT_EQ(ran.status == 0, all) << unshare << ran.err;
        EXPECT_EQ(run({"cat", env.dir() + "/args"}).out.find("-L unit") == std::string::npos, all);
        EXPECT_EQ(ran.err.find("VELMORA_TEST_ON_HOST=1 ./scripts/test\n") == std::string::npos,
                  all);
    }
}

// The daemon under keep-port: a malformed message ends it (255), the message
// queued behind it waits in the held socket for the restarted daemon; SIGINT
// then runs the shutdown and ends the holder, the daemon and the port.
TEST(Scripts, HeldPortRestartsTheDaemonAfterAMalformedMessage)
{
    reset_database();
    TestEnv env;
    Daemon d(env, {}, {kScripts + "keep-port"});
    d.start();
    d.send("<m><a/><users>");
    d.send_and_wait(message(user_xml("anna", "join")));
    EXPECT_NE(d.err().find(" ended with status 255; starting it again\n"), std::string::npos);
    EXPECT_EQ(user_state("anna"), "online");
    d.sigint();
    EXPECT_EQ(d.wait_exit(), 0) << d.err();
    EXPECT_EQ(user_state("anna"), "offline");
    EXPECT_THROW(close(d.connect_open()), std::runtime_error) << "the port is still held";
}

// velmora-setup-db on the suite's server: a 0600 option file whose account may
// SELECT and UPDATE and nothing else, its password nowhere in the output; a
// second run changes nothing and keeps the rows.
TEST(Scripts, SetupDbMakesALeastPrivilegeAccountOnce)
{
    const std::string drop = "DROP DATABASE IF EXISTS vs; DROP USER IF EXISTS vs@localhost";
    db_exec(drop);
    TestEnv env;
    const std::string sock = std::getenv("MYSQL_UNIX_PORT"), file = env.dir() + "/my.cnf";
    const std::vector<std::string> setup = {kScripts + "../db/velmora-setup-db",
                                            "--defaults-file",
                                            sock.substr(0, sock.rfind('/')) + "/admin.cnf",
                                            "--option-file",
                                            file,
                                            "--database",
                                            "vs",
                                            "--user",
                                            "vs"};
    Ran first = run(setup);
    ASSERT_EQ(first.status, 0) << first.err;
    struct stat st {};
    EXPECT_TRUE(stat(file.c_str(), &st) == 0 && (st.st_mode & 07777) == 0600);
    const std::string bytes = run({"cat", file}).out;
    const std::string password = bytes.substr(bytes.find("password=") + 9, 32);
    EXPECT_EQ((first.out + first.err).find(password), std::string::npos);
    const auto grants = db_rows("SHOW GRANTS FOR vs@localhost");
    ASSERT_EQ(grants.size(), 2u);
    EXPECT_EQ(grants[0][0].rfind("GRANT USAGE ON *.* TO `vs`@`localhost` IDENTIFIED BY", 0), 0u);
    EXPECT_EQ(grants[1][0], "GRANT SELECT, UPDATE ON `vs`.* TO `vs`@`localhost`");
    db_exec("INSERT INTO vs.states (id, state) VALUES (1, 'online')");
    EXPECT_EQ(run(setup).status, 0);
    EXPECT_EQ(run({"cat", file}).out, bytes);
    EXPECT_EQ(db_rows("SHOW GRANTS FOR vs@localhost"), grants);
    EXPECT_EQ(db_rows("SELECT COUNT(*) FROM vs.states"), (decltype(grants){{"1"}}));
    for (const char* sql : {"SELECT * FROM states", "UPDATE states SET state = 'x'",
                            "INSERT INTO states (state) VALUES ('y')", "DROP TABLE pictures",
                            "CREATE TABLE t (a INT)"})
        EXPECT_EQ(db_try_as(file, "vs", sql).empty(), sql[0] == 'S' || sql[0] == 'U') << sql;
    db_exec(drop);
}
