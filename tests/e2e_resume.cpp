// A television that ended without its shutdown comes back where it was, for
// the users online now; after the shutdown a start is the plain start.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>

#include "harness.hpp"

using namespace vt;
namespace fs = std::filesystem;

namespace {

const std::string kLine = "[resume] living room ended without the shutdown: ";

struct Resume : ::testing::Test {
    void SetUp() override { reset_database(); }
    TestEnv env;
    const std::string config = env.write_config("[server]\nname = living room\n");

    std::unique_ptr<Daemon> start()
    {
        auto d = std::make_unique<Daemon>(env);
        d->args({"--config", config});
        d->start();
        return d;
    }
    // anna and peter arrive, next plays ct3; then the daemon is killed.
    void evening_then_killed()
    {
        auto d = start();
        d->send_and_wait(message(user_xml("anna", "join")));
        ASSERT_TRUE(env.wait_invocations_of("convert", 1));
        d->send_and_wait(message(user_xml("peter", "join")));
        ASSERT_TRUE(env.wait_invocations_of("convert", 2));
        d->send_and_wait(message(user_xml("x", "next")));
        ASSERT_TRUE(env.wait_invocations_of("mplayer", 1));
        kill(d->pid(), SIGKILL);
        d->wait_exit();
    }
    // The viewing state a start left, as the next message shows it.
    std::string view(Daemon& d)
    {
        d.send_and_wait(message(user_xml("x", "last")));
        return d.last_view();
    }
};

std::string memory(const std::string& channel, const std::string& user)
{
    return "[memory] currentChannel: '" + channel + "'\n[memory] currentUser: '" + user + "'\n";
}

} // namespace

// SIGKILL ends the evening; the restart shows the welcome for who is online,
// the viewing state and the channel as they were, and a start never changes
// presence. So after a rejected message; after the orderly shutdown a start
// is the plain one.
TEST_F(Resume, CrashDuringAnEveningThenOrderlyStop)
{
    evening_then_killed();
    auto d = start();
    ASSERT_TRUE(env.wait_invocations_of("convert", 3));
    ASSERT_TRUE(env.wait_invocations_of("mplayer", 2));
    const auto welcome = env.invocations_of("convert");
    EXPECT_EQ(welcome[2].argv, welcome[1].argv); // peter's welcome, as his join rendered it
    EXPECT_EQ(env.invocations_of("mplayer").back().argv.back(), "dvb://ct3");
    EXPECT_TRUE(d->wait_stderr(kLine + "online anna,peter; currentUser 'peter', currentChannel "
                                       "'ct3'; the welcome, playing ct3\n"));
    EXPECT_EQ(user_state("anna") + user_state("peter"), "onlineonline");
    EXPECT_EQ(view(*d), memory("ct3", "peter"));

    d->send("<m>"); // a rejected message: the same again
    EXPECT_EQ(d->wait_exit(), 255);
    d = start();
    ASSERT_TRUE(env.wait_invocations_of("mplayer", 3));
    d->sigint();
    EXPECT_EQ(d->wait_exit(), 0);
    EXPECT_FALSE(fs::exists(env.workdir() + "/velmora.state"));
    d = start();
    EXPECT_EQ(view(*d), memory("", ""));
    EXPECT_EQ(d->err().find("[resume]"), std::string::npos) << d->err();
    EXPECT_EQ(env.invocations_of("convert").size(), 4u);
}

// Who is online changed between the end and the start: the current user
// gone, the choice is a leave's; nobody online, the screen stays black.
TEST_F(Resume, HouseholdChangedMeanwhile)
{
    evening_then_killed();
    db_exec("UPDATE userHasState SET ids = 3 - ids WHERE idu IN (2, 3)"); // peter went, eva came
    auto d = start();
    ASSERT_TRUE(env.wait_invocations_of("mplayer", 2));
    EXPECT_EQ(env.invocations_of("mplayer").back().argv.back(), "dvb://ct2"); // anna's last
    EXPECT_EQ(env.invocations_of("convert").back().argv.at(17),
              "PRESENT KNOWN USERS:\\n1. anna\\n2. eva\\n");
    EXPECT_EQ(view(*d), memory("ct2", "anna"));
    kill(d->pid(), SIGKILL);
    d->wait_exit();

    db_exec("UPDATE userHasState SET ids = 2");
    d = start();
    EXPECT_EQ(view(*d), memory("", ""));
    EXPECT_TRUE(d->wait_stderr(kLine + "nobody is online; the screen stays black\n"));
    EXPECT_EQ(env.invocations_of("convert").size(), 3u);
}

// The state file is a file in the working directory like any other: what is
// not a state file of the daemon's is ignored with one line, and every text
// is held to the viewing state's 19 bytes.
TEST_F(Resume, StateFileIsReadWithABound)
{
    const std::string file = env.workdir() + "/velmora.state";
    const std::string head = "velmora television state 1\nuser=anna\nchannel=";
    const std::string long_channel = "ct1" + std::string(30, 'x');
    const struct {
        std::function<void()> make;
        std::string line; // on stderr, after the file's name; "" for a resume
    } cases[] = {
        {[&] {
             std::ofstream(env.dir() + "/elsewhere") << head << "ct1\nplaying=ct1\nwelcome=1\n";
             fs::create_symlink(env.dir() + "/elsewhere", file);
         },
         " is a symbolic link; ignored"},
        {[&] { fs::create_directory(file); }, " is not a regular file; ignored"},
        {[&] { std::ofstream(file) << head << "ct1\nplaying=ct1;\nwelcome=0\n"; },
         " is not a state file of this daemon; ignored"},
        {[&] { std::ofstream(file) << std::string(2000, 'x'); },
         " is longer than a state file can be; ignored"},
        {[&] { std::ofstream(file) << head << "ct1\nplaying=" << long_channel << "\nwelcome=0\n"; },
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        fs::remove_all(file);
        c.make();
        set_online({"anna"}); // each shutdown sets her offline
        auto d = start();
        if (c.line.empty())
            EXPECT_TRUE(env.wait_invocations_of("mplayer", 1));
        else
            EXPECT_EQ(d->err(), "[resume] velmora.state" + c.line + "\n"); // and no resume
        d->sigint();
        EXPECT_EQ(d->wait_exit(), 0);
    }
    ASSERT_EQ(env.invocations_of("mplayer").size(), 1u);
    EXPECT_EQ(env.invocations_of("mplayer")[0].argv.back(), "dvb://" + long_channel.substr(0, 19));
    EXPECT_EQ(env.invocations_of("convert").size(), 0u);
}
