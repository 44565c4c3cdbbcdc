// Prints what the web remote costs the television: TCP messages per second
// with the page on and 32 event streams open against the page off; how long a
// join takes from its message to the state event at a listening client; and
// whether the household is answered while one host holds every connection it
// can. Runs the real daemon against the private test database, so it needs
// MYSQL_UNIX_PORT; scripts/bench-web sets everything up. Not a test.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <poll.h>
#include <sched.h>
#include <string>
#include <sys/socket.h>
#include <thread>
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

// Messages per second over `n` "last" messages, each sent once the one
// before has been handled; with `web`, 32 streams are open and read.
double turn(bool web, int n)
{
    TestEnv env;
    // As a front end on another machine would be: the client on the first
    // core, the daemon (and its web threads) on the second.
    Daemon d(env, {}, {"taskset", "-c", "1"});
    if (web)
        d.args({"--config", web_config(env)});
    d.start();
    std::vector<int> streams;
    std::atomic<bool> done{false};
    std::vector<std::thread> readers;
    if (web) {
        // From two hosts: one holds 16 connections at most.
        for (int i = 0; i < 32; ++i)
            streams.push_back(events_open(web_key(env), i < 16 ? "127.0.0.2" : "127.0.0.3"));
        for (int fd : streams)
            readers.emplace_back([&done, fd] {
                while (!done && !next_event(fd).empty()) {
                }
            });
    }
    const std::string m = message(user_xml("x", "last"));
    for (int i = 0; i < 50; ++i) // warm up
        d.send_and_wait(m);
    auto t0 = Clock::now();
    for (int i = 0; i < n; ++i)
        d.send_and_wait(m);
    double rate = n / (ms_since(t0) / 1000.0);
    // The shutdown ends the streams, and with them the readers.
    done = true;
    d.sigint();
    d.wait_exit();
    for (auto& t : readers)
        t.join();
    for (int fd : streams)
        close(fd);
    return rate;
}

// The household's requests while one host holds as many connections as it
// can (more than the server takes at all), each trickling a byte a second:
// how many are answered within 2 s, and how fast.
void trickled()
{
    TestEnv env;
    Daemon d(env);
    d.args({"--config", web_config(env)});
    d.start();
    std::vector<int> slow;
    for (int i = 0; i < 144; ++i)
        slow.push_back(web_connect("GET /api/state HTTP/1.1\r\nX-Slow: ", "127.0.0.2"));
    std::atomic<bool> done{false};
    std::thread trickle([&] {
        while (!done) {
            for (int fd : slow)
                send(fd, "x", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            std::this_thread::sleep_for(std::chrono::seconds(1));
        }
    });
    const std::string ask = "GET /api/state HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                            "Authorization: Bearer " +
                            web_key(env) + "\r\n\r\n";
    std::vector<double> ms;
    const int asked = 10;
    for (int i = 0; i < asked; ++i) {
        const auto t0 = Clock::now();
        const int fd = web_connect(ask);
        pollfd p{fd, POLLIN, 0};
        char head[12];
        if (poll(&p, 1, 2000) > 0 && recv(fd, head, sizeof head, MSG_WAITALL) == sizeof head &&
            std::string(head, sizeof head) == "HTTP/1.1 200")
            ms.push_back(ms_since(t0));
        close(fd);
    }
    done = true;
    trickle.join();
    for (int fd : slow)
        close(fd);
    std::sort(ms.begin(), ms.end());
    std::printf("the household's GET /api/state while one host holds 144 trickling connections\n");
    std::printf("  answered within 2 s: %zu of %d", ms.size(), asked);
    if (!ms.empty())
        std::printf(", median %.2f ms, max %.2f ms", ms[ms.size() / 2], ms.back());
    std::printf("\n");
    d.sigint();
    d.wait_exit();
}

} // namespace

int main(int argc, char** argv)
{
    const int n = argc > 1 ? std::max(100, std::atoi(argv[1])) : 16000;
    cpu_set_t first;
    CPU_ZERO(&first);
    CPU_SET(0, &first);
    sched_setaffinity(0, sizeof first, &first);
    try {
        reset_database();
        // Short turns one after the other, so the machine's other load falls
        // on both alike.
        double off = 0, on = 0;
        for (int t = 0; t < 8; ++t) {
            double a = turn(false, n / 8), b = turn(true, n / 8);
            std::printf("  turn %d: off %.0f, on %.0f\n", t + 1, a, b);
            off += a;
            on += b;
        }
        std::printf("TCP \"last\" messages per second (%d each, in 8 turns)\n", n);
        std::printf("  page off                      %8.0f\n", off / 8);
        std::printf("  page on, 32 streams open      %8.0f\n", on / 8);
        std::printf("  ratio on/off                  %8.3f\n", on / off);

        TestEnv env;
        Daemon d(env);
        d.args({"--config", web_config(env)});
        d.start();
        const int events = events_open(web_key(env));
        next_event(events);
        std::vector<double> ms;
        for (int i = 0; i < 200; ++i) {
            const bool join = i % 2 == 0;
            auto t0 = Clock::now();
            d.send(message(user_xml("anna", join ? "join" : "leave")));
            std::string state;
            do
                state = next_event(events);
            while (!state.empty() &&
                   (state.find("\"online\":[\"anna\"]") != std::string::npos) != join);
            if (state.empty())
                throw std::runtime_error("no state event within 10 s");
            if (join)
                ms.push_back(ms_since(t0));
            d.wait_stdout("[memory] currentUser: ", 10000, static_cast<size_t>(i) + 1);
        }
        std::sort(ms.begin(), ms.end());
        std::printf("join message -> state event at a listening client (%zu joins)\n", ms.size());
        std::printf("  min %6.2f ms   median %6.2f ms   p99 %6.2f ms   max %6.2f ms\n", ms.front(),
                    ms[ms.size() / 2], ms[ms.size() * 99 / 100], ms.back());

        // The test only bounds this by a second: TCP messages while all 32
        // streams are open and nobody reads them, and a request stalls.
        std::vector<int> unread{events};
        while (unread.size() < 32)
            unread.push_back(events_open(web_key(env)));
        const int stalled = web_connect("GET /api/state HTTP/1.1\r\nHo");
        ms.clear();
        for (int i = 0; i < 200; ++i) {
            auto t0 = Clock::now();
            d.send_and_wait(message(user_xml("anna", i % 2 ? "leave" : "join")));
            ms.push_back(ms_since(t0));
        }
        std::sort(ms.begin(), ms.end());
        std::printf("join or leave over TCP, 32 streams unread and a request stalled (%zu)\n",
                    ms.size());
        std::printf("  median %6.2f ms   p99 %6.2f ms   max %6.2f ms\n", ms[ms.size() / 2],
                    ms[ms.size() * 99 / 100], ms.back());
        d.sigint();
        d.wait_exit();
        for (int fd : unread)
            close(fd);
        close(stalled);
        trickled();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "web-bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
