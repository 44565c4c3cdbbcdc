// What ./scripts/run builds on: the port held across restarts of the daemon,
// and the daemon's own database account.
#include <gtest/gtest.h>

#include <csignal>
#include <sys/stat.h>

#include "harness.hpp"

using namespace vt;

// The daemon under scripts/keep-port: a malformed message ends it (255), the
// message queued behind it waits in the held socket and the restarted daemon
// handles it; SIGINT then runs the shutdown and ends the holder, the daemon
// and the port.
TEST(Scripts, HeldPortRestartsTheDaemonAfterAMalformedMessage)
{
    reset_database();
    TestEnv env;
    Daemon d(env, {}, {VELMORA_SOURCE_DIR "/scripts/keep-port"});
    d.start();
    d.send("<m><a/><users>");
    d.send_and_wait(message(user_xml("anna", "join")));
    EXPECT_NE(d.err().find("Error: Document not parsed successfully.\n"), std::string::npos);
    EXPECT_NE(d.err().find(" ended with status 255; starting it again\n"), std::string::npos);
    EXPECT_TRUE(d.wait_stdout("[background] restored\n", 1000, 2)) << d.out();
    EXPECT_EQ(user_state("anna"), "online");
    auto children = children_of(d.pid());
    ASSERT_EQ(children.size(), 1u);

    d.sigint();
    EXPECT_EQ(d.wait_exit(), 0) << d.err();
    EXPECT_NE(d.out().find("Thank you for flying with VelmoraServer.\n"), std::string::npos);
    EXPECT_EQ(user_state("anna"), "offline");
    EXPECT_NE(kill(children[0].first, 0), 0) << "the daemon outlived the holder";
    EXPECT_THROW(close(d.connect_open()), std::runtime_error) << "the port is still held";
}

// velmora-setup-db against the suite's server: an option file of mode 0600
// whose account may SELECT and UPDATE in its database and nothing more, the
// password nowhere in the output; a second run changes nothing and keeps the
// rows.
TEST(Scripts, SetupDbMakesALeastPrivilegeAccountOnce)
{
    const std::string drop = "DROP DATABASE IF EXISTS vsetup; DROP USER IF EXISTS vsetup@localhost";
    db_exec(drop);
    TestEnv env;
    const std::string admin = env.dir() + "/admin.cnf", file = env.dir() + "/conf/my.cnf";
    write_executable(admin, "[client]\nuser=root\npassword=lampaNaSTOLe42\n");
    const std::vector<std::string> setup = {VELMORA_SOURCE_DIR "/db/velmora-setup-db",
                                            "--defaults-file",
                                            admin,
                                            "--option-file",
                                            file,
                                            "--database",
                                            "vsetup",
                                            "--user",
                                            "vsetup"};
    Ran first = run(setup);
    ASSERT_EQ(first.status, 0) << first.err;
    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    const std::string bytes = read_text(file);
    const size_t at = bytes.find("\npassword=");
    ASSERT_NE(at, std::string::npos) << bytes;
    const std::string password = bytes.substr(at + 10, bytes.find('\n', at + 1) - at - 10);
    EXPECT_EQ(password.size(), 32u);
    EXPECT_EQ((first.out + first.err).find(password), std::string::npos);
    const std::vector<std::vector<std::string>> grants =
        db_rows("SHOW GRANTS FOR vsetup@localhost");
    ASSERT_EQ(grants.size(), 2u);
    EXPECT_EQ(grants[1][0], "GRANT SELECT, UPDATE ON `vsetup`.* TO `vsetup`@`localhost`");
    EXPECT_EQ(grants[0][0].rfind("GRANT USAGE ON *.* TO `vsetup`@`localhost` IDENTIFIED BY", 0),
              0u);

    db_exec("INSERT INTO vsetup.states (id, state) VALUES (1, 'online')");
    Ran second = run(setup);
    EXPECT_EQ(second.status, 0) << second.err;
    EXPECT_EQ(read_text(file), bytes);
    EXPECT_EQ(db_rows("SHOW GRANTS FOR vsetup@localhost"), grants);
    EXPECT_EQ(db_rows("SELECT state FROM vsetup.states").size(), 1u);

    const struct {
        const char* sql;
        bool taken;
    } statements[] = {
        {"SELECT state FROM states", true},
        {"UPDATE states SET state = 'offline' WHERE id = 1", true},
        {"INSERT INTO states (state) VALUES ('away')", false},
        {"DROP TABLE userHasPicture", false},
        {"CREATE TABLE extra (id INT)", false},
    };
    for (const auto& s : statements)
        EXPECT_EQ(db_try_as(file, "velmora", "vsetup", s.sql).empty(), s.taken) << s.sql;
    db_exec(drop);
}
