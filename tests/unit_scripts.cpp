// The scripts a newcomer runs first: the private database helper and the test
// runner, with stand-ins for what they start.
#include <gtest/gtest.h>

#include <csignal>

#include "harness.hpp"

using namespace vt;

namespace {

const std::string kScripts = VELMORA_SOURCE_DIR "/scripts/";

} // namespace

// A creation cut short (dbctl killed as it sets root's password, its server
// left running) is recognised by the next start and made again, instead of
// leaving a server that refuses the built-in password for good.
TEST(Scripts, InterruptedPrivateDatabaseIsMadeAgain)
{
    TestEnv env;
    const std::string dir = env.dir() + "/db";
    write_executable(env.bindir() + "/mariadb",
                     "#!/bin/sh\ncase \"$*\" in *'ALTER USER'*) kill -KILL $PPID; exit 1;; esac\n"
                     "exec /usr/bin/mariadb \"$@\"\n");
    struct Destroy {
        std::string dir;
        ~Destroy() { run({kScripts + "dbctl", "destroy", dir}); }
    } destroy{dir};
    EXPECT_EQ(run({kScripts + "dbctl", "start", dir}, "", {"PATH=" + env.path_env()}).status,
              -SIGKILL);

    Ran again = run({kScripts + "dbctl", "start", dir});
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(again.out, dir + "/mysqld.sock\n");
    Ran users = run({"mariadb", "--no-defaults", "-S", dir + "/mysqld.sock", "-uroot",
                     "-plampaNaSTOLe42", "dvb", "-Nse", "SELECT COUNT(*) FROM users"});
    EXPECT_EQ(users.status, 0) << users.err;
    EXPECT_EQ(users.out, "4\n");
}

// scripts/test where no namespace can be made refuses the end-to-end tests
// with a line saying how to run them anyway, runs the unit tests and does not
// pass; asked to, it runs everything; a user namespace is one it can make.
TEST(Scripts, TestRunsEndToEndOnlyInNamespacesOrWhenAsked)
{
    const struct {
        std::string unshare, on_host;
        bool everything;
        int status;
    } cases[] = {
        {"exit 1", "0", false, 1},
        {"exit 1", "1", true, 0},
        {"case \"$*\" in *--user*) exec /usr/bin/unshare \"$@\";; esac; exit 1", "0", true, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.unshare + " VELMORA_TEST_ON_HOST=" + c.on_host);
        TestEnv env;
        const std::string args = env.dir() + "/ctest.args";
        for (const auto& [name, body] : {std::pair<std::string, std::string>{"unshare", c.unshare},
                                         {"cmake", ""},
                                         {"dpkg-query", "echo 'install ok installed'"},
                                         {"ctest", "echo \"$*\" >>" + args}})
            write_executable(env.bindir() + "/" + name, "#!/bin/sh\n" + body + "\n");
        Ran ran = run({kScripts + "test", "-R", "Intake"}, "",
                      {"PATH=" + env.path_env(), "VELMORA_TEST_ON_HOST=" + c.on_host});
        EXPECT_EQ(ran.status, c.status) << ran.err;
        const std::string ctest = read_text(args);
        EXPECT_EQ(ctest.find("-L unit") == std::string::npos, c.everything) << ctest;
        EXPECT_EQ(ran.err.find("VELMORA_TEST_ON_HOST=1 ./scripts/test\n") == std::string::npos,
                  c.everything)
            << ran.err;
    }
}
