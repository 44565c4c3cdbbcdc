// The real daemon driving the television: which programs it starts, with
// which argument vectors and in which order, and that it leaves no stray
// players, zombies, inherited sockets or doubled log lines behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "harness.hpp"
#include "log.hpp"
#include "secfunc.hpp"

extern char** environ;

namespace {

using namespace vt;
namespace fs = std::filesystem;
using Argv = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

std::string msg(const std::string& command, const std::string& presence = "",
                const std::string& name = "anna")
{
    return message(user_xml(name, command, presence));
}

void pause_ms(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

bool wait_until(const std::function<bool()>& ok, int ms = 15000)
{
    for (auto until = Clock::now() + std::chrono::milliseconds(ms); !ok(); pause_ms(10))
        if (Clock::now() >= until)
            return false;
    return true;
}

size_t lines_starting(const std::vector<std::string>& lines, const std::string& prefix)
{
    return std::count_if(lines.begin(), lines.end(),
                         [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
}

Argv player_argv(const std::string& channel)
{
    return {"mplayer", "-rootwin", "-fs", "-nocache", "-forceidx", "dvb://" + channel};
}

// Every live player, with the address it was started with.
std::map<pid_t, std::string> live_players(const TestEnv& env)
{
    std::map<pid_t, std::string> live;
    for (pid_t pid : pids_named("mplayer"))
        live[pid] = "<unrecorded>";
    for (const Invocation& r : env.invocations_of("mplayer"))
        if (live.count(r.pid))
            live[r.pid] = r.argv.back();
    return live;
}

bool is_live_player(pid_t pid)
{
    auto pids = pids_named("mplayer");
    return std::count(pids.begin(), pids.end(), pid) > 0;
}

// A player left running from before the daemon: the stand-in, our own child.
// Spawned before any daemon's reader thread exists, so setenv is safe here.
pid_t spawn_old_player(const TestEnv& env)
{
    setenv("VELMORA_STANDIN_LOG", env.logpath().c_str(), 1);
    char name[] = "mplayer", addr[] = "dvb://old";
    char* argv[] = {name, addr, nullptr};
    pid_t pid = -1;
    int r = posix_spawn(&pid, (env.bindir() + "/mplayer").c_str(), nullptr, nullptr, argv, environ);
    unsetenv("VELMORA_STANDIN_LOG");
    return r == 0 ? pid : -1;
}

// Collects our own child; its wait status, or -1 while it still runs.
int reap_within(pid_t pid, int ms)
{
    int status = -1;
    wait_until([&] { return waitpid(pid, &status, WNOHANG) == pid; }, ms);
    return status;
}

size_t sockets_of(pid_t pid)
{
    size_t n = 0;
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            char target[128];
            ssize_t len = readlink((dir + "/" + e->d_name).c_str(), target, sizeof target - 1);
            if (len > 0 && std::string(target, len).rfind("socket:", 0) == 0)
                ++n;
        }
        closedir(d);
    }
    return n;
}

bool valid_utf8(const std::string& s)
{
    for (size_t i = 0; i < s.size();) {
        unsigned char c = s[i];
        size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (len == 0 || i + len > s.size())
            return false;
        for (size_t k = 1; k < len; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80)
                return false;
        i += len;
    }
    return true;
}

// A daemon already listening, in a fresh environment.
struct Tv {
    explicit Tv(TestEnvOptions options = {}) : env(std::move(options)), d(env) { d.start(); }
    TestEnv env;
    Daemon d;
};

class E2e : public ::testing::Test {
protected:
    void SetUp() override { reset_database(); }
};
class PlayerE2e : public E2e {};
class NotifyE2e : public E2e {};
class VolumeE2e : public E2e {};
class RenderE2e : public E2e {};

// ---------------------------------------------------------------- player

TEST_F(PlayerE2e, RestoreStopsPlayersAtStartAndShutdown)
{
    TestEnv env;
    pid_t old = spawn_old_player(env);
    ASSERT_GT(old, 0);
    ASSERT_TRUE(env.wait_invocations_of("mplayer", 1));
    Daemon d(env);
    d.start();
    int status = reap_within(old, 3000);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << "old player: " << status;
    ASSERT_TRUE(d.wait_stdout("[background] restored\n"));
    auto out = d.out_lines();
    ASSERT_GE(out.size(), 2u);
    EXPECT_EQ(Argv(out.begin(), out.begin() + 2),
              (Argv{"[player] restored", "[background] restored"}));
    EXPECT_EQ(nth_run(env, "fbsetbg", 0), (Argv{"fbsetbg", "black.jpg"}));

    set_online({"anna"});
    d.send_and_wait(msg("change", "ct2"));
    ASSERT_EQ(nth_run(env, "mplayer", 1), player_argv("ct2"));
    d.sigint();
    EXPECT_EQ(d.wait_exit(), 0);
    EXPECT_TRUE(wait_until([] { return pids_named("mplayer").empty(); }, 2000));
    out = d.out_lines();
    ASSERT_GE(out.size(), 2u);
    EXPECT_EQ(Argv(out.end() - 2, out.end()), (Argv{"[player] restored", "[background] restored"}));
    EXPECT_EQ(env.invocations_of("fbsetbg").back().argv, (Argv{"fbsetbg", "black.jpg"}));
}

// From a terminal too: a player that sets up a console there is not stopped.
TEST_F(PlayerE2e, ChangePlaysAfterPauseAndReplacesThePlayer)
{
    Tv tv({false, "", true});
    TestEnv& env = tv.env;
    Daemon& d = tv.d;
    set_online({"anna"});
    d.send_and_wait(msg("change", "ct2"));
    EXPECT_EQ(nth_run(env, "mplayer", 0), player_argv("ct2"));
    EXPECT_TRUE(d.wait_stdout("[player] Channel: 'ct2'\n"));
    EXPECT_TRUE(d.wait_stderr("[player_notify] "));
    std::string err = d.err();
    size_t lasts = err.find("db_update_lasts(ct2): 0\n");
    size_t note = err.find("[player_notify] notify-send 'Changing channel' 'ct2' 0\n");
    EXPECT_NE(lasts, std::string::npos) << err;
    EXPECT_NE(note, std::string::npos) << err;
    EXPECT_LT(lasts, note);
    EXPECT_EQ(nth_run(env, "notify-send", 0), (Argv{"notify-send", "Changing channel", "ct2"}));
    pid_t first = env.invocations_of("mplayer")[0].pid;
    EXPECT_TRUE(is_live_player(first));
    EXPECT_NE(children_of(d.pid()).at(0).second, 'T'); // the player, the only child

    d.send_and_wait(msg("change", "ct3"));
    ASSERT_EQ(nth_run(env, "mplayer", 1), player_argv("ct3"));
    pid_t second = env.invocations_of("mplayer")[1].pid;
    EXPECT_TRUE(wait_until([&] { return live_players(env).size() == 1; }, 2000));
    EXPECT_EQ(live_players(env), (std::map<pid_t, std::string>{{second, "dvb://ct3"}}));
}

// An old player that takes a while to let go of the tuner: the new one starts
// only once it has ended.
TEST_F(PlayerE2e, NewPlayerWaitsUntilTheOldOneHasEnded)
{
    TestEnv env;
    Daemon d(env, {"VELMORA_STANDIN_DELAY=mplayer=300"});
    d.start();
    set_online({"anna"});
    d.send_and_wait(msg("change", "ct1"));
    ASSERT_EQ(nth_run(env, "mplayer", 0), player_argv("ct1"));
    pid_t old = env.invocations_of("mplayer")[0].pid;
    d.send_and_wait(msg("change", "ct2"));
    ASSERT_EQ(nth_run(env, "mplayer", 1), player_argv("ct2"));
    std::vector<std::string> order;
    for (const Invocation& r : env.invocations())
        if (r.argv[0] == "mplayer:ended" || r.argv[0] == "mplayer")
            order.push_back(r.argv[0] + (r.pid == old ? " old" : " new"));
    EXPECT_EQ(order, (Argv{"mplayer old", "mplayer:ended old", "mplayer new"}));
}

// A change that comes while the player child of the one before still waits for
// the old player to let go (here it lingers 2 s, the child waits at most 1 s):
// that child never becomes a player, and only the later one remains.
TEST_F(PlayerE2e, QuickChangesLeaveOnlyTheLaterPlayer)
{
    TestEnv env;
    Daemon d(env, {"VELMORA_STANDIN_DELAY=mplayer=2000"});
    d.start();
    set_online({"anna", "peter"});
    d.send_and_wait(msg("change", "ct1"));
    ASSERT_TRUE(env.wait_invocations_of("mplayer", 1));
    d.send_and_wait(msg("change", "ct2"));
    d.send_and_wait(msg("change", "ct3"));
    std::map<pid_t, std::string> live;
    EXPECT_TRUE(wait_until(
        [&] {
            return (live = live_players(env)).size() == 1 && live.begin()->second == "dvb://ct3";
        },
        5000))
        << "players: " << live.size();
    for (const Invocation& r : env.invocations_of("mplayer"))
        EXPECT_NE(r.argv.back(), "dvb://ct2");
}

TEST_F(PlayerE2e, EmptyChannelKeepsThePlayerRunning)
{
    Tv tv;
    TestEnv& env = tv.env;
    Daemon& d = tv.d;
    set_online({"anna"});
    d.send_and_wait(msg("change", "ct2"));
    ASSERT_TRUE(env.wait_invocations_of("mplayer", 1));
    pid_t player = env.invocations_of("mplayer")[0].pid;
    d.send_and_wait(msg("change")); // no presence: the current channel, still empty
    EXPECT_TRUE(d.wait_stdout("[player] Channel: ''\n"));
    EXPECT_EQ(nth_run(env, "notify-send", 1), (Argv{"notify-send", "Changing channel", ""}));
    pause_ms(1500);
    EXPECT_TRUE(is_live_player(player));
    EXPECT_EQ(env.invocations_of("mplayer").size(), 1u);
}

TEST_F(PlayerE2e, JoinRendersBackgroundWithExactConvertArgv)
{
    const std::string add_50 =
        "INSERT INTO users (id, name) VALUES (5, '50%'); INSERT INTO userHasState VALUES (5, 2);"
        "INSERT INTO userHasLast VALUES (5, 6); INSERT INTO userHasChannel (idu, idc) VALUES (5, "
        "6);"
        "INSERT INTO userHasPicture VALUES (5, 1);";
    // Captions carry backslash-n pairs, never a line break; convert reads
    // %-escapes, so it gets a doubled % while the log shows the caption as formed.
    struct Case {
        std::string sql, name, picture, users_drawn, users_logged, channels;
    } cases[] = {
        {"", "anna", "anna.jpg", "PRESENT KNOWN USERS:\\n1. anna\\n",
         "PRESENT KNOWN USERS:\\n1. anna\\n", "CHANNELS:\\n1. ct1\\n2. ct2\\n"},
        {"", "tom", "black.jpg", "PRESENT KNOWN USERS:\\n1. tom\\n",
         "PRESENT KNOWN USERS:\\n1. tom\\n", "CHANNELS:\\n1. prima\\n"},
        {"", "ghost", "black.jpg", "", "", ""},
        {add_50, "50%", "anna.jpg", "PRESENT KNOWN USERS:\\n1. 50%%\\n",
         "PRESENT KNOWN USERS:\\n1. 50%\\n", "CHANNELS:\\n1. joj\\n"},
        {"UPDATE pictures SET path = 'gone.jpg' WHERE id = 3", "eva", "black.jpg",
         "PRESENT KNOWN USERS:\\n1. eva\\n", "PRESENT KNOWN USERS:\\n1. eva\\n",
         "CHANNELS:\\n1. ct1\\n2. nova\\n"},
    };
    Tv tv;
    TestEnv& env = tv.env;
    Daemon& d = tv.d;
    // out.jpg is removed before each render, never written through
    fs::create_symlink(env.logpath(), env.workdir() + "/out.jpg");
    size_t n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        reset_database();
        if (!c.sql.empty())
            db_exec(c.sql);
        d.send_and_wait(msg("join", "", c.name));
        ASSERT_TRUE(d.wait_stdout("[background] Channels: ", 5000, ++n));
        auto runs = env.invocations();
        ASSERT_GE(runs.size(), 2u);
        EXPECT_EQ(runs[runs.size() - 2].argv, convert_argv(c.picture, c.users_drawn, c.channels));
        EXPECT_EQ(runs.back().argv, (Argv{"fbsetbg", "out.jpg"}));
        std::string out = d.out();
        EXPECT_NE(out.find("[background] Picture: '" + c.picture + "'\n"), std::string::npos)
            << out;
        EXPECT_NE(out.find("[background] Onlines: '" + c.users_logged + "'\n"), std::string::npos)
            << out;
        EXPECT_NE(out.find("[background] Channels: '" + c.channels + "'\n"), std::string::npos)
            << out;
    }
    EXPECT_TRUE(env.invocations_of("mplayer").empty()); // a join plays nothing
    EXPECT_FALSE(fs::is_symlink(env.workdir() + "/out.jpg"));
}

TEST_F(PlayerE2e, BurstLeavesNoZombiesAndNoDoubledLines)
{
    Tv tv;
    TestEnv& env = tv.env;
    Daemon& d = tv.d;
    const std::vector<std::string> burst = {msg("join", "", "anna"),   msg("join", "", "peter"),
                                            msg("change", "ct1"),      msg("notify", "a"),
                                            msg("change", "ct3"),      msg("join", "", "eva"),
                                            msg("notify", "b"),        msg("change", "nova"),
                                            msg("leave", "", "peter"), msg("change", "ct2")};
    for (const std::string& m : burst)
        d.send_and_wait(m);
    // Settled: the last change plays, and every other child has ended and been collected.
    ASSERT_TRUE(d.wait_stdout("[player] Channel: 'ct2'\n"));
    std::map<pid_t, std::string> live;
    EXPECT_TRUE(wait_until([&] {
        live = live_players(env);
        return live.size() == 1 && live.begin()->second == "dvb://ct2" &&
               children_of(d.pid()).size() == 1;
    })) << "players: "
        << live.size() << ", children: " << children_of(d.pid()).size();
    EXPECT_TRUE(zombie_children_of(d.pid()).empty());

    auto out = d.out_lines(), err = d.err_lines();
    EXPECT_EQ(lines_starting(err, "[RCV] "), burst.size());
    EXPECT_EQ(lines_starting(out, "[MSG] "), burst.size());
    EXPECT_EQ(lines_starting(out, "[memory] currentUser: "), burst.size());
    EXPECT_EQ(lines_starting(out, "[player] restored"), 2u); // start-up and the leave
    EXPECT_EQ(lines_starting(out, "[background] restored"), 2u);
    // A render superseded by the next join or stopped by the leave writes nothing.
    size_t renders = lines_starting(out, "[background] Name: ");
    EXPECT_LE(renders, 3u);
    for (const char* line :
         {"[background] Picture: ", "[background] Onlines: ", "[background] Channels: "})
        EXPECT_EQ(lines_starting(out, line), renders) << line;
    EXPECT_EQ(lines_starting(err, "db_update_lasts("), 5u); // four changes and the leave
    EXPECT_EQ(lines_starting(err, "[player_notify] "), 7u);
    EXPECT_LE(lines_starting(out, "[player] Channel: "), 5u);
    EXPECT_NE(d.out().find("[player] Channel: 'ct2'\n"), std::string::npos);
}

TEST_F(PlayerE2e, ChildrenOutlivingTheDaemonHoldNoSocket)
{
    TestEnv env;
    Daemon first(env);
    first.start();
    set_online({"anna"});
    first.send_and_wait(msg("change", "ct2"));
    ASSERT_TRUE(env.wait_invocations_of("mplayer", 1));
    pid_t player = env.invocations_of("mplayer")[0].pid;
    EXPECT_EQ(sockets_of(player), 0u); // neither the listener nor a database connection
    first.send("not a document");
    EXPECT_EQ(first.wait_exit(), 255);
    ASSERT_TRUE(is_live_player(player));
    Daemon second(env);
    EXPECT_NO_THROW(second.start()); // binds 5003 while the old player still runs
    EXPECT_TRUE(wait_until([&] { return !is_live_player(player); }, 3000));

    // The same for a player child that is still in its pause.
    second.send_and_wait(msg("change", "ct3"));
    second.send("not a document");
    EXPECT_EQ(second.wait_exit(), 255);
    Daemon third(env);
    EXPECT_NO_THROW(third.start());
    pause_ms(1500); // the paused child has become a player or ended; the restore stops it
    third.sigint();
    EXPECT_EQ(third.wait_exit(), 0);
}

// ---------------------------------------------------------------- notify

TEST_F(NotifyE2e, LogsCommandLineAndRawWaitStatus)
{
    for (auto [status, shown] : {std::pair{"", "0"}, std::pair{"notify-send=3", "768"}}) {
        SCOPED_TRACE(status);
        TestEnvOptions options;
        options.standin_status = status;
        Tv tv(options);
        TestEnv& env = tv.env;
        Daemon& d = tv.d;
        d.send_and_wait(msg("notify", "hello"));
        EXPECT_EQ(nth_run(env, "notify-send", 0), (Argv{"notify-send", "xml notify", "hello"}));
        EXPECT_TRUE(d.wait_stderr("[player_notify] notify-send 'xml notify' 'hello' " +
                                  std::string(shown) + "\n"))
            << d.err();
    }
}

TEST_F(NotifyE2e, HostileTextsAreShownNotRun)
{
    Tv tv;
    TestEnv& env = tv.env;
    Daemon& d = tv.d;
    const std::string mark = env.dir() + "/ran";
    const std::string texts[] = {"'; touch " + mark + "1; '", "$(touch " + mark + "2)",
                                 "`touch " + mark + "3`",     "\"; touch " + mark + "4; \"",
                                 "a\ntouch " + mark + "5\nb", "--wait"};
    size_t n = 0;
    for (const std::string& text : texts) {
        SCOPED_TRACE(text);
        d.send_and_wait(msg("notify", text));
        // A text that starts with a dash is a text, not an option.
        Argv want = text[0] == '-' ? Argv{"notify-send", "--", "xml notify", text}
                                   : Argv{"notify-send", "xml notify", text};
        EXPECT_EQ(nth_run(env, "notify-send", n++), want);
        // The log writes the line breaks as \x0a.
        EXPECT_TRUE(
            d.wait_stderr("[player_notify] notify-send 'xml notify' '" + logSafe(text) + "' 0\n"));
    }
    pause_ms(200);
    for (char k = '1'; k <= '5'; ++k)
        EXPECT_FALSE(fs::exists(mark + k)) << mark + k;
}

TEST_F(NotifyE2e, LongTextLogCutOnCharacterBoundary)
{
    // An entity stretches the text beyond one read of 1024 bytes; after the
    // ASCII "x" a cut at any even length would split a two-byte character.
    std::string e10, refs, full = "x";
    for (int i = 0; i < 10; ++i)
        e10 += "\xc3\xa9";
    for (int i = 0; i < 60; ++i)
        refs += "&e;", full += e10;
    std::string doc = "<!DOCTYPE m [<!ENTITY e \"" + e10 + "\">]>" +
                      message("<user><name>anna</name><command>notify</command><presence>x" + refs +
                              "</presence></user>");
    ASSERT_LE(doc.size(), 1024u);
    Tv tv;
    TestEnv& env = tv.env;
    Daemon& d = tv.d;
    d.send_and_wait(doc);
    ASSERT_TRUE(d.wait_stderr("' 0\n")); // the end of the notification's line
    const std::string err = d.err(), head = "[player_notify] ", open = "notify-send 'xml notify' '";
    size_t at = err.find(head + open + "x"), end = err.find("' 0\n", at);
    ASSERT_NE(end, std::string::npos) << err;
    std::string cmd = err.substr(at + head.size(), end + 1 - at - head.size());
    EXPECT_LE(cmd.size(), 999u);
    EXPECT_GE(cmd.size(), 990u); // cut, not dropped
    EXPECT_TRUE(valid_utf8(cmd));
    std::string shown = cmd.substr(open.size(), cmd.size() - open.size() - 1);
    EXPECT_EQ(full.compare(0, shown.size(), shown), 0);
    Argv run = nth_run(env, "notify-send", 0);
    ASSERT_EQ(run.size(), 3u);
    EXPECT_TRUE(valid_utf8(run[2]));
    EXPECT_EQ(full.compare(0, run[2].size(), run[2]), 0);
}

TEST_F(NotifyE2e, SigintDuringNotificationShutsDown)
{
    TestEnv env;
    const std::string slow = env.bindir() + "/notify-send";
    fs::remove(slow);
    std::ofstream(slow) << "#!/bin/sh\nsleep 2\n";
    fs::permissions(slow, fs::perms::owner_all);
    Daemon d(env);
    d.start();
    set_online({"anna"});
    d.send(msg("notify", "slow"));
    ASSERT_TRUE(wait_until([] { return !pids_named("notify-send").empty(); }));
    d.sigint();
    EXPECT_EQ(d.wait_exit(8000), 0);
    EXPECT_EQ(user_state("anna"), "offline");
    auto out = d.out_lines();
    EXPECT_EQ(lines_starting(out, "[background] restored"), 2u);
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.back(), "[background] restored");
}

// ---------------------------------------------------------------- volume

TEST_F(VolumeE2e, OnlyExactPlusAndMinus)
{
    struct Case {
        std::string type, step, word; // no step: nothing is run
    } cases[] = {{"plus", "10dB+", "up"}, {"minus", "10dB-", "down"}, {"Plus", "", ""},
                 {"plus ", "", ""},       {"plusminus", "", ""},      {"", "", ""}};
    Tv tv;
    TestEnv& env = tv.env;
    Daemon& d = tv.d;
    for (const Case& c : cases) {
        SCOPED_TRACE("'" + c.type + "'");
        size_t runs = env.invocations().size(), logged = d.err().size();
        d.send_and_wait(msg("volume", c.type));
        if (c.step.empty()) {
            pause_ms(200);
            EXPECT_EQ(env.invocations().size(), runs);
            EXPECT_EQ(d.err().find("[player", logged), std::string::npos) << d.err().substr(logged);
            continue;
        }
        ASSERT_TRUE(wait_until([&] { return env.invocations().size() >= runs + 2; }));
        auto all = env.invocations();
        EXPECT_EQ(all[runs].argv, (Argv{"amixer", "set", "Master", c.step}));
        EXPECT_EQ(all[runs + 1].argv, (Argv{"notify-send", "Volume", c.word}));
        EXPECT_TRUE(d.wait_stderr("[player_notify] notify-send 'Volume' '" + c.word + "' 0\n"));
    }
}

// ---------------------------------------------------------------- render

TEST_F(RenderE2e, JoinWritesJpegOfTheBasePictureSize)
{
    if (!fs::exists("/usr/bin/convert") || !fs::exists("/usr/bin/identify"))
        GTEST_SKIP() << "no ImageMagick in /usr/bin";
    TestEnvOptions options;
    options.real_convert = true;
    TestEnv env(options);
    // Another convert comes earlier on PATH here; the daemon must get ImageMagick's.
    fs::create_symlink("/usr/bin/convert", env.bindir() + "/convert");
    std::string base = env.workdir() + "/pictures/anna.jpg";
    ASSERT_EQ(std::system(("/usr/bin/convert -size 640x360 xc:navy '" + base + "'").c_str()), 0);
    Daemon d(env);
    d.start();
    d.send_and_wait(msg("join", "", "anna"));
    ASSERT_TRUE(d.wait_stdout("[background] Channels: ", 30000));
    std::string out_jpg = env.workdir() + "/out.jpg";
    std::ifstream in(out_jpg, std::ios::binary);
    std::string magic(3, '\0');
    ASSERT_TRUE(in.read(magic.data(), 3)) << "no out.jpg";
    EXPECT_EQ(magic, "\xff\xd8\xff");
    std::string size;
    if (FILE* p = popen(("/usr/bin/identify -format %wx%h '" + out_jpg + "'").c_str(), "r")) {
        char buf[64];
        while (fgets(buf, sizeof buf, p))
            size += buf;
        pclose(p);
    }
    EXPECT_EQ(size, "640x360");
    EXPECT_EQ(env.invocations_of("fbsetbg").back().argv, (Argv{"fbsetbg", "out.jpg"}));
}

// A render that takes a while must not outlast what comes after it: a newer
// join supersedes it, a leave or the shutdown stops it, each with the
// programs it started; a stopped render records no convert and sets nothing.
TEST_F(RenderE2e, SlowRenderNeverOutlastsTheLatestMessage)
{
    struct Case {
        std::string what;
        std::vector<std::string> messages;
        int signal;
        std::vector<std::string> rendered; // base pictures of the recorded converts
        std::string screen;                // the last fbsetbg argument
    } cases[] = {
        {"two joins back to back",
         {msg("join", "", "anna"), msg("join", "", "peter")},
         0,
         {"pictures/peter.jpg"},
         "out.jpg"},
        {"join and leave in one message",
         {message(user_xml("anna", "join") + user_xml("anna", "leave"))},
         0,
         {},
         "black.jpg"},
        {"SIGINT right after a join", {msg("join", "", "anna")}, SIGINT, {}, "black.jpg"},
        // a killed daemon takes its render along, which sets nothing after it
        {"SIGKILL right after a join", {msg("join", "", "anna")}, SIGKILL, {}, "black.jpg"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        reset_database();
        TestEnv env;
        Daemon d(env, {"VELMORA_STANDIN_DELAY=convert=400"});
        d.start();
        for (const std::string& m : c.messages)
            d.send_and_wait(m);
        if (c.signal) {
            kill(d.pid(), c.signal);
            ASSERT_EQ(d.wait_exit(), c.signal == SIGINT ? 0 : -SIGKILL);
            EXPECT_TRUE(wait_until([] { return pids_named("velmora-server").empty(); }));
        }
        if (!c.rendered.empty()) {
            ASSERT_TRUE(d.wait_stdout("[background] Channels: ", 10000));
        }
        // A killed daemon's render ends with it, a moment later on a busy machine.
        EXPECT_TRUE(wait_until([] { return pids_named("convert").empty(); }));
        if (!c.signal) {
            EXPECT_TRUE(wait_until([&] { return zombie_children_of(d.pid()).empty(); }));
        }
        std::vector<std::string> rendered;
        for (const Invocation& r : env.invocations_of("convert"))
            rendered.push_back(r.argv.at(1));
        EXPECT_EQ(rendered, c.rendered);
        EXPECT_EQ(lines_starting(d.out_lines(), "[background] Name: "), c.rendered.size());
        ASSERT_FALSE(env.invocations_of("fbsetbg").empty());
        EXPECT_EQ(env.invocations_of("fbsetbg").back().argv, (Argv{"fbsetbg", c.screen}));
    }
}

} // namespace
