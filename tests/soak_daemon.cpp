// Long runs of the real daemon: ten thousand mixed messages must leave its
// descriptors, children and memory where they were, and a shorter run under
// valgrind memcheck must show no error and no lost memory.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "harness.hpp"

using namespace vt;

namespace {

// A household's mixed traffic, the same every run: one to three users per
// message, every keyword the daemon acts on without the guide server, every
// finger gesture in turn, and arrivals by probability.
class Traffic {
public:
    std::string next()
    {
        std::string users;
        for (int n = 1 + pick(3); n > 0; --n)
            users += one();
        // An element of a name never seen before, which the daemon passes over:
        // what the parser keeps of the names it meets must not grow with them.
        users += "<seen" + std::to_string(count_++) + "/>";
        return message(users);
    }

private:
    std::string one()
    {
        static const char* const names[] = {"anna", "peter", "eva", "tom", "zed"};
        static const char* const channels[] = {"ct1", "ct2", "ct3", "nova", "prima", "joj"};
        const std::string name = names[pick(5)];
        switch (pick(12)) {
        case 0:
            return user_xml(name, "join");
        case 1:
            return user_xml(name, pick(2) ? "leave" : "leav");
        case 2:
            return user_xml(name, "list", pick(2) ? "online" : "offline");
        case 3:
            return user_xml(name, "next");
        case 4:
            return user_xml(name, "prev");
        case 5:
        case 6: {
            int g = gesture_++ % 100; // l:0 r:0 ... l:9 r:9
            return user_xml(name, "l:" + std::to_string(g / 10) + " r:" + std::to_string(g % 10));
        }
        case 7:
            return user_xml(name, "notify", "message " + std::to_string(pick(1000)));
        case 8:
            return user_xml(name, "volume", pick(2) ? "plus" : "minus");
        case 9:
            return user_xml(name, pick(2) ? "change" : "chan", channels[pick(6)]);
        case 10:
            return user_xml(name, "last", "", std::to_string(pick(100)));
        default:
            return user_xml(name, "", "", std::to_string(40 + pick(30)));
        }
    }
    int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }

    std::mt19937 rng_{20260601};
    int gesture_ = 0;
    int count_ = 0;
};

bool wait_until(const std::function<bool()>& ok, int ms)
{
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!ok()) {
        if (std::chrono::steady_clock::now() >= until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::string describe(const std::map<int, std::string>& fds)
{
    std::ostringstream s;
    for (const auto& [fd, target] : fds)
        s << fd << "->" << target << " ";
    return s.str();
}

// The daemon once its children have settled: at most the one player left
// running, every other child ended and collected.
struct Snapshot {
    std::map<int, std::string> fds;
    size_t children = 0;
    long rss = 0;
};
Snapshot settle(pid_t daemon)
{
    Snapshot s;
    bool settled = wait_until(
        [&] {
            auto kids = children_of(daemon);
            s.children = kids.size();
            return kids.size() <= 1 && (kids.empty() || kids[0].second != 'Z');
        },
        30000);
    EXPECT_TRUE(settled) << s.children
                         << " children, zombies: " << zombie_children_of(daemon).size();
    s.fds = fds_of(daemon);
    s.rss = rss_kib(daemon);
    return s;
}

struct Soak : ::testing::Test {
    void SetUp() override { reset_database(); }
    TestEnv env;
};

} // namespace

TEST_F(Soak, TenThousandMixedMessagesGrowNothing)
{
#if defined(__SANITIZE_ADDRESS__) // every fork copies the sanitizer's large mappings
    constexpr int kMessages = 3000, kEvery = 1000, kWarm = 500;
#else
    constexpr int kMessages = 10000, kEvery = 2000, kWarm = 500;
#endif
    [[maybe_unused]] constexpr long kSlackKib = 256;
    Daemon d(env);
    d.start();
    Traffic traffic;
    const Snapshot start = settle(d.pid());
    ASSERT_FALSE(start.fds.empty());
    std::printf("[soak] start: %zu fds, %zu children, RSS %ld KiB\n", start.fds.size(),
                start.children, start.rss);
    long warm = 0;
    for (int i = 1; i <= kMessages; ++i) {
        d.send_and_wait(traffic.next(), 60000);
        if (i == kWarm)
            warm = settle(d.pid()).rss;
        if (i % kEvery != 0)
            continue;
        SCOPED_TRACE("after " + std::to_string(i) + " messages");
        Snapshot now = settle(d.pid());
        std::printf("[soak] %5d messages: %zu fds, %zu children, RSS %ld KiB (%+ld after %d)\n", i,
                    now.fds.size(), now.children, now.rss, now.rss - warm, kWarm);
        // The rooms' tick holds a database connection for a moment every 2 s.
        EXPECT_TRUE(wait_until(
            [&] { return describe(now.fds = fds_of(d.pid())) == describe(start.fds); }, 5000))
            << describe(now.fds) << "\nagainst " << describe(start.fds);
        EXPECT_TRUE(zombie_children_of(d.pid()).empty());
#if !defined(__SANITIZE_ADDRESS__) // its quarantine holds freed memory on purpose
        EXPECT_LE(now.rss, warm + kSlackKib);
#endif
    }
    EXPECT_TRUE(d.running());
    d.sigint();
    EXPECT_EQ(d.wait_exit(), 0);
}

// memcheck runs the daemon itself; the programs it starts run untraced.
TEST_F(Soak, ValgrindFindsNoErrorAndNoLostMemory)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer and valgrind do not mix";
#else
    if (access("/usr/bin/valgrind", X_OK) != 0)
        GTEST_SKIP() << "no valgrind";
    const std::string log = env.dir() + "/memcheck.log";
    Daemon d(env, {},
             {"/usr/bin/valgrind", "--tool=memcheck", "--leak-check=full",
              "--show-leak-kinds=definite,indirect", "--errors-for-leak-kinds=definite,indirect",
              "--error-exitcode=99", "--trace-children=no", "--child-silent-after-fork=yes",
              "--log-file=" + log});
    d.start(120000);
    Traffic traffic;
    for (int i = 0; i < 300; ++i)
        d.send_and_wait(traffic.next(), 60000);
    d.sigint();
    EXPECT_EQ(d.wait_exit(120000), 0);
    std::ifstream in(log);
    std::stringstream report;
    report << in.rdbuf();
    for (std::string line; std::getline(report, line);)
        if (line.find("SUMMARY") != std::string::npos || line.find("lost:") != std::string::npos ||
            line.find("in use at exit") != std::string::npos)
            std::printf("%s\n", line.c_str());
    report.clear();
    EXPECT_NE(report.str().find("ERROR SUMMARY: 0 errors"), std::string::npos) << report.str();
    EXPECT_EQ(report.str().find("definitely lost: "), report.str().find("definitely lost: 0 bytes"))
        << report.str();
    EXPECT_EQ(report.str().find("indirectly lost: "), report.str().find("indirectly lost: 0 bytes"))
        << report.str();
#endif
}
