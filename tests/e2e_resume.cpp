// A television that ended without its shutdown comes back where it was, for
// the users online now; after the shutdown a start is the plain start.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>

#include "harness.hpp"

using namespace vt;
namespace fs = std::filesystem;

namespace {

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
    // The view a start left (the next message shows it); whether `text` was logged.
    bool view(Daemon& d, const std::string& channel, const std::string& user,
              const std::string& text = "")
    {
        d.send_and_wait(message(user_xml("x", "last")));
        EXPECT_EQ(d.last_view(), "[memory] currentChannel: '" + channel +
                                     "'\n[memory] currentUser: '" + user + "'\n");
        return d.err().find(text) != std::string::npos;
    }
};

} // namespace

// SIGKILL, then a rejected message after peter went and eva came, then
// nobody online, then the orderly shutdown: peter's welcome, view and channel
// again; a leave's choice; black; the plain start. No start changes presence.
TEST_F(Resume, CrashesDuringAnEvening)
{
    const std::string line = "[resume] living room ended without the shutdown: ";
    auto d = start();
    for (const char* name : {"anna", "peter"}) {
        d->send_and_wait(message(user_xml(name, "join")));
        ASSERT_TRUE(env.wait_invocations_of("convert", *name == 'a' ? 1 : 2));
    }
    d->send_and_wait(message(user_xml("x", "next")));
    ASSERT_TRUE(env.wait_invocations_of("mplayer", 1));
    kill(d->pid(), SIGKILL);
    d->wait_exit();
    d = start();
    ASSERT_TRUE(env.wait_invocations_of("convert", 3) && env.wait_invocations_of("mplayer", 2));
    EXPECT_EQ(env.invocations_of("convert")[2].argv, env.invocations_of("convert")[1].argv);
    EXPECT_EQ(env.invocations_of("mplayer").back().argv.back(), "dvb://ct3");
    EXPECT_TRUE(view(*d, "ct3", "peter",
                     line + "online anna,peter; currentUser 'peter', currentChannel 'ct3'; the "
                            "welcome, playing ct3\n"));
    EXPECT_EQ(user_state("anna") + user_state("peter"), "onlineonline");
    db_exec("UPDATE userHasState SET ids = 3 - ids WHERE idu IN (2, 3)"); // peter went, eva came
    d->send("<m>");
    EXPECT_EQ(d->wait_exit(), 255);
    d = start();
    ASSERT_TRUE(env.wait_invocations_of("mplayer", 3));
    EXPECT_EQ(env.invocations_of("mplayer").back().argv.back(), "dvb://ct2"); // anna's last
    EXPECT_EQ(env.invocations_of("convert").back().argv.at(17),
              "PRESENT KNOWN USERS:\\n1. anna\\n2. eva\\n");
    view(*d, "ct2", "anna");
    db_exec("UPDATE userHasState SET ids = 2");
    kill(d->pid(), SIGKILL);
    d->wait_exit();
    d = start();
    EXPECT_TRUE(view(*d, "", "", line + "nobody is online; the screen stays black\n"));
    d->sigint();
    EXPECT_EQ(d->wait_exit(), 0);
    EXPECT_FALSE(fs::exists(env.workdir() + "/velmora.state"));
    d = start();
    EXPECT_FALSE(view(*d, "", "", "[resume]"));
    EXPECT_EQ(env.invocations_of("convert").size(), 4u);
}

// What is not a state file of the daemon's (a link to one, too) is ignored
// with one line, and every text is held to the viewing state's 19 bytes.
TEST_F(Resume, StateFileIsReadWithABound)
{
    const std::string file = env.workdir() + "/velmora.state", elsewhere = env.dir() + "/state";
    const std::string head = "velmora television state 1\nuser=anna\nchannel=ct1\nplaying=";
    std::ofstream(elsewhere) << head << "ct1\nwelcome=1\n";
    const std::string long_channel = "ct1" + std::string(30, 'x');
    // What a crash left of a write (here a link out) is removed, not written through.
    const std::string leftover = file + ".new", target = env.dir() + "/target";
    std::ofstream(target) << "keep\n";
    fs::create_symlink(target, leftover);
    const std::pair<std::string, std::string> cases[] = {
        {"a link", " is a symbolic link"},
        {"a folder", " is not a regular file"},
        {head + "ct1;\nwelcome=0\n", " is not a state file of this daemon"},
        {std::string(2000, 'x'), " is longer than a state file can be"},
        {head + long_channel + "\nwelcome=0\n", ""},
    };
    for (const auto& [text, line] : cases) {
        fs::remove_all(file);
        if (text == "a link")
            fs::create_symlink(elsewhere, file);
        else if (text == "a folder")
            fs::create_directory(file);
        else
            std::ofstream(file) << text;
        set_online({"anna"}); // each shutdown sets her offline
        auto d = start();
        if (line.empty()) {
            EXPECT_TRUE(env.wait_invocations_of("mplayer", 1));
            d->send_and_wait(message(user_xml("x", "next"))); // a new state is written
            EXPECT_EQ(run({"cat", target}).out, "keep\n");
        } else
            EXPECT_EQ(d->err(), "[resume] velmora.state" + line + "; ignored\n"); // no resume
        d->sigint();
        EXPECT_EQ(d->wait_exit(), 0);
    }
    EXPECT_EQ(env.invocations_of("mplayer").at(0).argv.back(),
              "dvb://" + long_channel.substr(0, 19));
    EXPECT_FALSE(fs::exists(fs::symlink_status(leftover)));
    EXPECT_EQ(run({"cat", target}).out, "keep\n");
}
