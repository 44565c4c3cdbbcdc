// Prints how long zapping takes: from sending a channel-change message to the
// start of the new player, with the recording stand-in as the player (it ends
// at once when it is stopped). Runs the real daemon against the private test
// database, so it needs MYSQL_UNIX_PORT; scripts/bench-zap sets everything up.
// Not a test: it only prints figures.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "harness.hpp"

using namespace vt;
using Clock = std::chrono::steady_clock;

int main(int argc, char** argv)
{
    int rounds = argc > 1 ? std::atoi(argv[1]) : 20;
    if (rounds < 1)
        rounds = 1;
    try {
        reset_database();
        set_online({"anna", "peter"});
        TestEnv env;
        Daemon d(env);
        d.start();
        const char* channels[] = {"ct1", "ct2", "ct3"};
        std::vector<double> ms;
        for (int i = 0; i <= rounds; ++i) {
            size_t before = env.invocations_of("mplayer").size();
            std::string m = message(user_xml("anna", "change", channels[i % 3]));
            auto t0 = Clock::now();
            d.send(m);
            while (env.invocations_of("mplayer").size() <= before) {
                if (Clock::now() - t0 > std::chrono::seconds(10))
                    throw std::runtime_error("no player within 10 s");
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
            double took = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
            if (i > 0) // the first change has no player to stop
                ms.push_back(took);
            d.wait_stdout("[memory] currentUser: ", 10000, static_cast<size_t>(i) + 1);
        }
        std::sort(ms.begin(), ms.end());
        double sum = 0;
        for (double v : ms)
            sum += v;
        std::printf("channel change -> new player started (%zu changes, old player running)\n",
                    ms.size());
        std::printf("  min %8.1f ms\n  median %5.1f ms\n  mean %7.1f ms\n  max %8.1f ms\n",
                    ms.front(), ms[ms.size() / 2], sum / ms.size(), ms.back());
        d.sigint();
        d.wait_exit();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zap-bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
