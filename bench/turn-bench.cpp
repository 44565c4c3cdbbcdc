// Prints how long a TCP message waits behind a full inbox: the paired page
// posts "volume plus" commands (the slowest a message of one record gets
// while its programs behave: amixer and a notification, both waited for)
// until the daemon answers 503, so that 64 messages wait; at once a front end
// sends "last", timed from its connect to the daemon's close of the
// connection, which the daemon does as it takes the message up. Beside it: the
// same message with the inbox empty, and one volume message alone. Runs the
// real daemon against the private test database (MYSQL_UNIX_PORT), with the
// recording stand-ins; scripts/bench-turns sets everything up. With
// --server PATH it measures another build of the daemon (an older one, for
// before and after). Not a test: it only prints figures.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

#include "web.hpp"

using namespace vt;
using Clock = std::chrono::steady_clock;

namespace {

double ms_since(Clock::time_point t0)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// Connect, send, wait for the daemon's close: the time until it took the
// message up.
double tcp_ms(Daemon& d, const std::string& bytes)
{
    auto t0 = Clock::now();
    int fd = d.connect_open();
    if (write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        throw std::runtime_error("cannot send to port 5003");
    char c;
    while (read(fd, &c, 1) > 0) {
    }
    close(fd);
    return ms_since(t0);
}

void print(const char* what, std::vector<double> ms)
{
    std::sort(ms.begin(), ms.end());
    std::printf("  %-44s median %8.1f ms   min %8.1f ms   max %8.1f ms\n", what, ms[ms.size() / 2],
                ms.front(), ms.back());
}

} // namespace

int main(int argc, char** argv)
{
    int rounds = 10;
    std::vector<std::string> launcher;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--server") == 0 && i + 1 < argc) {
            // The harness starts its own build; this runs PATH in its place.
            launcher = {"sh", "-c", "shift; exec \"$0\" \"$@\"", argv[++i]};
        } else if (std::atoi(argv[i]) > 0) {
            rounds = std::atoi(argv[i]);
        } else {
            std::fprintf(stderr, "usage: velmora-turn-bench [ROUNDS] [--server PATH]\n");
            return 2;
        }
    }
    try {
        reset_database();
        TestEnv env;
        // This program (scripts/bench-turns keeps it to the first core) and
        // the page's client side apart from the daemon, on the second.
        std::vector<std::string> pinned = {"taskset", "-c", "1"};
        pinned.insert(pinned.end(), launcher.begin(), launcher.end());
        Daemon d(env, {}, sysconf(_SC_NPROCESSORS_ONLN) >= 2 ? pinned : launcher);
        d.args({"--config", web_config(env)});
        d.start();
        const std::string bearer = "Authorization: Bearer " + web_key(env);
        const std::string volume = R"({"name":"anna","command":"volume","presence":"plus"})";
        const std::string last = message(user_xml("x", "last"));
        size_t handled = 0;
        auto settle = [&](size_t more) {
            handled += more;
            if (!d.wait_stdout("[memory] currentUser: ", 120000, handled))
                throw std::runtime_error("the daemon did not handle every message");
        };
        std::vector<double> alone, one_volume, behind, posted;
        for (int r = 0; r < rounds; ++r) {
            alone.push_back(tcp_ms(d, last));
            settle(1);
            auto t0 = Clock::now();
            if (http("POST", "/api/command", {bearer}, volume).status != 202)
                throw std::runtime_error("a volume command was refused");
            settle(1);
            one_volume.push_back(ms_since(t0));
            size_t n = 0;
            while (http("POST", "/api/command", {bearer}, volume).status == 202)
                ++n;
            behind.push_back(tcp_ms(d, last));
            posted.push_back(static_cast<double>(n));
            settle(n + 1);
        }
        std::sort(posted.begin(), posted.end());
        std::printf("a TCP \"last\" message, connect to the daemon's close (%d rounds; the page\n"
                    "posted %.0f to %.0f \"volume plus\" until 503, so 64 waited)\n",
                    rounds, posted.front(), posted.back());
        print("inbox empty", alone);
        print("one volume message alone (POST to handled)", one_volume);
        print("behind a full inbox of volume messages", behind);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "velmora-turn-bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
