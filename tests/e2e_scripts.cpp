// The scripts a newcomer runs first.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "harness.hpp"

using namespace vt;
const std::string kScripts = VELMORA_SOURCE_DIR "/scripts/";
const std::string kSetupDb = VELMORA_SOURCE_DIR "/db/velmora-setup-db";
const std::string kAdmin = VELMORA_BINARY_DIR "/tests/db/admin.cnf"; // dbctl's

// dbctl killed as it sets root's password, its server left running: the next
// start recognises the half-made database and makes it again.
TEST(Scripts, InterruptedPrivateDatabaseIsMadeAgain)
{
    TestEnv env;
    const std::string dir = env.dir() + "/db", sql = "SELECT COUNT(*) FROM dvb.users";
    write_script(env.bindir() + "/mariadb", "case \"$*\" in *'ALTER USER'*) kill -9 $PPID; exit; "
                                            "esac; exec /usr/bin/mariadb \"$@\"");
    EXPECT_EQ(run({kScripts + "dbctl", "start", dir}, "", {"PATH=" + env.path_env()}).status, -9);
    EXPECT_EQ(run({kScripts + "dbctl", "start", dir}).out, dir + "/mysqld.sock\n");
    EXPECT_EQ(run({"mariadb", "--defaults-file=" + dir + "/admin.cnf", "-Ne", sql}).out, "4\n");
    run({kScripts + "dbctl", "destroy", dir});
}

// scripts/test without namespaces: the unit tests only, a line on how to run
// the rest, no success; all when asked to, or in a user namespace.
TEST(Scripts, TestRunsEndToEndOnlyInNamespacesOrWhenAsked)
{
    const std::string user = "case \"$*\" in *--user*) exec /usr/bin/unshare \"$@\";; esac; exit 1";
    for (const auto& [unshare, on_host, all] : {std::tuple{std::string("exit 1"), "0", false},
                                                {"exit 1", "1", true},
                                                {user, "0", true}}) {
        if (unshare == user && run({"unshare", "--user", "--map-root-user", "true"}).status != 0)
            GTEST_SKIP() << "the kernel refuses user namespaces here (in a chroot, for one)";
        TestEnv env;
        for (std::string stub :
             {"unshare " + unshare, "ctest echo \"$*\" >" + env.dir() + "/args",
              std::string("cmake :"), std::string("dpkg-query echo install ok installed")})
            write_script(env.bindir() + "/" + stub.substr(0, stub.find(' ')),
                         stub.substr(stub.find(' ') + 1));
        Ran ran = run({kScripts + "test"}, "",
                      {"PATH=" + env.path_env(), std::string("VELMORA_TEST_ON_HOST=") + on_host});
        EXPECT_EQ(ran.status == 0, all) << unshare << ran.err;
        EXPECT_EQ(run({"cat", env.dir() + "/args"}).out.find("-L unit") == std::string::npos, all);
        EXPECT_EQ(ran.err.find("VELMORA_TEST_ON_HOST=1 ./scripts/test") == std::string::npos, all);
    }
}

// Under keep-port a malformed message ends the daemon (255) and the message
// queued behind it waits for the restarted one; SIGINT ends all, port too.
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
    EXPECT_EQ(d.wait_exit(), 0) << d.err(); // after the shutdown
    EXPECT_THROW(close(d.connect_open()), std::runtime_error) << "the port is still held";
}

// velmora-setup-db: a 0600 option file whose account may only SELECT and
// UPDATE the users' states, places and last channels, no password shown; a
// second run changes nothing and keeps the rows.
TEST(Scripts, SetupDbMakesALeastPrivilegeAccountOnce)
{
    const std::string drop = "DROP DATABASE IF EXISTS vs; DROP USER IF EXISTS vs@localhost";
    db_exec(drop);
    TestEnv env;
    const std::string file = env.dir() + "/my.cnf";
    const std::vector<std::string> setup = {kSetupDb, "--defaults-file", kAdmin, "--option-file",
                                            file,     "--database",      "vs",   "--user",
                                            "vs"};
    Ran folder = run({kSetupDb, "--defaults-file", kAdmin, "--option-file", env.dir()});
    EXPECT_EQ(folder.status, 2);
    EXPECT_EQ(folder.err, "velmora-setup-db: the option file " + env.dir() +
                              " is a folder (--option-file names the file to write)\n");
    Ran first = run(setup);
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(std::filesystem::status(file).permissions(), std::filesystem::perms(0600));
    const std::string bytes = run({"cat", file}).out, grants = "SHOW GRANTS FOR vs@localhost";
    const std::string password = bytes.substr(bytes.find("password=") + 9, 32);
    EXPECT_EQ((first.out + first.err).find(password), std::string::npos);
    const auto granted = db_rows(grants);
    ASSERT_EQ(granted.size(), 5u);
    EXPECT_EQ(granted[0][0].rfind("GRANT USAGE ON *.* TO `vs`@`localhost` IDENTIFIED BY", 0), 0u);
    EXPECT_EQ(granted[1][0], "GRANT SELECT ON `vs`.* TO `vs`@`localhost`");
    db_exec("INSERT INTO vs.states (id, state) VALUES (1, 'online')");
    EXPECT_EQ(run(setup).status, 0);
    EXPECT_EQ(run({"cat", file}).out, bytes);
    EXPECT_EQ(db_rows(grants), granted);
    EXPECT_EQ(db_rows("SELECT id FROM vs.states"), (decltype(granted){{"1"}}));
    // Taken: those written SELECT and UPDATE in capitals, and the signs of life.
    for (const char* sql :
         {"SELECT * FROM states", "UPDATE userHasState SET ids = 1, place = 'x'",
          "UPDATE userHasLast SET idc = NULL", "update states SET state = 'x'",
          "update userHasState SET idu = 7", "DROP TABLE users",
          "INSERT INTO states (state) VALUES ('y')", "CREATE TABLE t (a INT)",
          "INSERT INTO televisions (name, seen) VALUES ('x', NOW())", "Delete FROM users",
          "DELETE FROM televisions"})
        EXPECT_EQ(db_taken_as(file, "vs", sql),
                  sql[0] == 'S' || sql[0] == 'U' || std::strstr(sql, "televisions"))
            << sql;
    db_exec(drop);

    // The daemon with such an account on the household's own database.
    reset_database();
    const std::string own = env.dir() + "/own.cnf";
    ASSERT_EQ(
        run({kSetupDb, "--defaults-file", kAdmin, "--option-file", own, "--user", "vt"}).status, 0);
    Daemon d(env);
    d.args({"--config", env.write_config("[database]\noption_file = " + own + "\n")});
    d.start();
    d.send_and_wait(message(user_xml("anna", "join")));
    EXPECT_EQ(user_state("anna"), "online");
    EXPECT_FALSE(db_taken_as(own, "dvb", "DROP TABLE userHasLast"));
    d.sigint();
    EXPECT_EQ(d.wait_exit(), 0) << d.err();
    db_exec("DROP USER vt@localhost");
}
