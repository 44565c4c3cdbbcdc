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
