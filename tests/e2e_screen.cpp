// The real television: the daemon on a virtual screen with the real convert,
// fbsetbg, notify-send and dunst (only the player is a stand-in: there is no
// tuner). What a viewer would see is checked as pixels of the root window and
// as what the notification service received.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>
#include <utility>

#include "harness.hpp"
#include "screen.hpp"

namespace {

using namespace vt;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

class ScreenE2e : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string missing = missing_screen_programs();
        if (!missing.empty())
            GTEST_SKIP() << "no real screen here: " << missing
                         << " not installed (scripts/deps installs them)";
        reset_database();
        use_real_screen_programs(env);
        screen = std::make_unique<Screen>(env.dir() + "/tv");
        d = std::make_unique<Daemon>(env, screen->env());
        d->start();
        black = read_image(env.workdir() + "/black.jpg");
    }

    // Pixels by which the screen still differs from want once it has settled
    // (or a few seconds have passed).
    size_t settled_difference(const Image& want)
    {
        size_t diff = 0;
        for (auto until = Clock::now() + std::chrono::seconds(5);;) {
            diff = differing_pixels(screen->capture(), want);
            if (diff == 0 || Clock::now() >= until)
                return diff;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    // The welcome background as convert draws it for this users caption.
    Image welcome(const std::string& users, const std::string& channels)
    {
        std::string file = env.dir() + "/expected.jpg";
        std::vector<std::string> argv = convert_argv("anna.jpg", users, channels);
        argv.front() = "/usr/bin/convert";
        argv[1] = env.workdir() + "/" + argv[1];
        argv.back() = file;
        run_capture(argv, screen->env());
        return read_image(file);
    }

    TestEnv env;
    std::unique_ptr<Screen> screen;
    std::unique_ptr<Daemon> d;
    Image black;
};

TEST_F(ScreenE2e, JoinShowsTheWelcomeAsWrittenAndTheLastLeaveBlack)
{
    EXPECT_EQ(settled_difference(black), 0u) << "start-up shows black.jpg";

    // %w is one of convert's escapes (the width): the name must still read x%w.
    db_exec("INSERT INTO users (id, name) VALUES (5, 'x%w'); INSERT INTO userHasState VALUES "
            "(5, 2); INSERT INTO userHasLast VALUES (5, 6); INSERT INTO userHasChannel (idu, idc) "
            "VALUES (5, 6); INSERT INTO userHasPicture VALUES (5, 1);");
    d->send_and_wait(message(user_xml("x%w", "join")));
    ASSERT_TRUE(d->wait_stdout("[background] Channels: ", 30000)) << d->err();
    Image out = read_image(env.workdir() + "/out.jpg");
    EXPECT_EQ(settled_difference(out), 0u) << "the root window shows out.jpg";
    EXPECT_GT(differing_pixels(out, black), 100000u) << "out.jpg is the picture, not black";
    const std::string channels = "CHANNELS:\\n1. joj\\n";
    EXPECT_EQ(differing_pixels(out, welcome("PRESENT KNOWN USERS:\\n1. x%%w\\n", channels)), 0u)
        << "drawn as written";
    EXPECT_GT(differing_pixels(out, welcome("PRESENT KNOWN USERS:\\n1. x%w\\n", channels)), 20u)
        << "the check tells x%w from x1280";

    d->send_and_wait(message(user_xml("x%w", "leave")));
    EXPECT_EQ(settled_difference(black), 0u) << "nobody left: black";
}

TEST_F(ScreenE2e, NotificationsReachDunstWithExactlyTitleAndText)
{
    const std::vector<std::string> texts = {"Dinner is ready", "$(touch x)", "-u critical",
                                            "'; touch y; '", "50% <b>off</b> & \"more\" `touch z`"};
    std::vector<std::pair<std::string, std::string>> expected;
    for (const std::string& t : texts) {
        d->send_and_wait(message(user_xml("anna", "notify", t)));
        EXPECT_TRUE(d->wait_stderr("[player_notify] notify-send 'xml notify' '" + t + "' 0\n"))
            << d->err();
        expected.emplace_back("xml notify", t);
    }
    d->send_and_wait(message(user_xml("anna", "volume", "plus"))); // amixer is a stand-in
    expected.emplace_back("Volume", "up");
    EXPECT_GT(differing_pixels(screen->capture(), black), 1000u) << "notifications are drawn";

    std::vector<std::pair<std::string, std::string>> received;
    for (const Notification& n : screen->notifications(expected.size()))
        received.emplace_back(n.summary, n.body);
    EXPECT_EQ(received, expected);
    for (const char* file : {"x", "y", "z"})
        EXPECT_FALSE(fs::exists(env.workdir() + "/" + file)) << file;
}

} // namespace
