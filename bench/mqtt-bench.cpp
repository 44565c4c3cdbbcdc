// Prints what MQTT costs the television: two real daemons side by side, one
// without MQTT (port 5003) and one publishing to a private broker (port
// 5005), with the private database and the recording stand-ins:
//   - messages per second, MQTT on against off: "last" (the household state
//     is looked at, nothing changes) and join + leave cycles (the state is
//     published), in alternating turns so that the machine's other load falls
//     on both alike;
//   - free gestures ("l:7 r:1"), each an event on MQTT and nothing without
//     it, in the same turns;
//   - from a join's message to its retained P/user/NAME at a subscriber, and
//     from a gesture's message to its event;
//   - join + leave messages while the broker is frozen (SIGSTOP).
// The daemon without MQTT joins anna, the other peter. With two cores or more
// this program and the broker keep to the first core and the daemons to the
// second, as front ends and a broker on other machines would be. Needs MYSQL_UNIX_PORT;
// scripts/bench-mqtt sets everything up. Not a test: it only prints figures.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mosquitto.h>
#include <mutex>
#include <sched.h>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

#include "broker.hpp"
#include "harness.hpp"

using namespace vt;
using Clock = std::chrono::steady_clock;

namespace {

const std::string P = "velmora/bench";

double ms_since(Clock::time_point t0)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

struct Times {
    std::vector<double> ms;
    double seconds = 0;
    void print(const char* what, const char* unit) const
    {
        std::vector<double> s = ms;
        std::sort(s.begin(), s.end());
        std::printf("%-44s %8.0f %-10s median %7.2f ms  p99 %7.2f ms  max %7.2f ms\n", what,
                    s.size() / seconds, unit, s[s.size() / 2], s[s.size() * 99 / 100], s.back());
    }
};

// Times `count` rounds of `one` into t.
template <class F> void turn(Times& t, int count, F one)
{
    auto t0 = Clock::now();
    for (int i = 0; i < count; ++i) {
        auto r0 = Clock::now();
        one();
        t.ms.push_back(ms_since(r0));
    }
    t.seconds += std::chrono::duration<double>(Clock::now() - t0).count();
}

// Every thread of `pid` (0: this process) on core `cpu`.
void keep_to(pid_t pid, int cpu)
{
    if (sysconf(_SC_NPROCESSORS_ONLN) < 2)
        return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    if (pid == 0)
        pid = getpid();
    for (const auto& task :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task"))
        sched_setaffinity(std::stoi(task.path().filename()), sizeof set, &set);
}

// The CPU time of every thread of `pid` so far, in nanoseconds (the
// scheduler's own account, which the machine's other load does not change).
double cpu_ns(pid_t pid)
{
    double ns = 0;
    for (const auto& task :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
        std::ifstream stat(task.path() / "schedstat");
        double run = 0;
        stat >> run;
        ns += run;
    }
    return ns;
}

// A subscriber to one topic: the time each payload arrived.
struct Watch {
    std::mutex mu;
    std::condition_variable cv;
    std::string payload;
    Clock::time_point at;
    size_t count = 0;
    bool subscribed = false;
    mosquitto* m = nullptr;

    explicit Watch(const std::string& topic)
    {
        m = mosquitto_new(nullptr, true, this);
        mosquitto_message_callback_set(m, [](mosquitto*, void* p, const mosquitto_message* msg) {
            Watch& w = *static_cast<Watch*>(p);
            std::lock_guard<std::mutex> lock(w.mu);
            w.payload.assign(static_cast<const char*>(msg->payload), msg->payloadlen);
            w.at = Clock::now();
            ++w.count;
            w.cv.notify_all();
        });
        // Events are not retained: nothing is measured before the broker
        // has the subscription.
        mosquitto_subscribe_callback_set(m, [](mosquitto*, void* p, int, int, const int*) {
            Watch& w = *static_cast<Watch*>(p);
            std::lock_guard<std::mutex> lock(w.mu);
            w.subscribed = true;
            w.cv.notify_all();
        });
        int nodelay = 1;
        mosquitto_int_option(m, MOSQ_OPT_TCP_NODELAY, nodelay);
        if (mosquitto_connect(m, "127.0.0.1", 18830, 60) != MOSQ_ERR_SUCCESS ||
            mosquitto_subscribe(m, nullptr, topic.c_str(), 1) != MOSQ_ERR_SUCCESS)
            throw std::runtime_error("cannot subscribe to " + topic);
        mosquitto_loop_start(m);
        std::unique_lock<std::mutex> lock(mu);
        if (!cv.wait_for(lock, std::chrono::seconds(10), [&] { return subscribed; }))
            throw std::runtime_error("no subscription to " + topic + " within 10 s");
    }
    ~Watch()
    {
        mosquitto_disconnect(m);
        mosquitto_loop_stop(m, false);
        mosquitto_destroy(m);
    }
    // When `want` arrived, waiting at most 10 s.
    Clock::time_point wait(const std::string& want)
    {
        std::unique_lock<std::mutex> lock(mu);
        if (!cv.wait_for(lock, std::chrono::seconds(10), [&] { return payload == want; }))
            throw std::runtime_error("no \"" + want + "\" at the subscriber within 10 s");
        return at;
    }
    // When the message after the `seen`-th arrived, waiting at most 10 s.
    Clock::time_point wait_after(size_t seen)
    {
        std::unique_lock<std::mutex> lock(mu);
        if (!cv.wait_for(lock, std::chrono::seconds(10), [&] { return count > seen; }))
            throw std::runtime_error("no message at the subscriber within 10 s");
        return at;
    }
};

} // namespace

int main(int argc, char** argv)
{
    const int n = argc > 1 && std::atoi(argv[1]) > 0 ? std::atoi(argv[1]) : 2000;
    if (!Broker::installed()) {
        std::fprintf(stderr, "mqtt-bench: mosquitto is not installed\n");
        return 1;
    }
    try {
        keep_to(0, 0);
        reset_database();
        TestEnv env_off, env_on;
        Broker broker(env_on.dir());
        broker.start();
        Daemon off(env_off), on(env_on);
        on.port(5005);
        on.args({"--config",
                 env_on.write_config("[mqtt]\nhost = 127.0.0.1\nport = 18830\nprefix = " + P +
                                     "\n[server]\nlisten = 0.0.0.0:5005\n")});
        off.start();
        on.start();
        // The broker runs on another machine as a rule: the client's core.
        keep_to(pids_named("mosquitto").at(0), 0);
        keep_to(off.pid(), 1);
        keep_to(on.pid(), 1);
        if (broker.retained(P + "/user/peter", "offline")[P + "/user/peter"] != "offline")
            throw std::runtime_error("the daemon does not publish");

        const std::string last = message(user_xml("x", "last")),
                          gesture = message(user_xml("anna", "l:7 r:1"));
        auto cycle = [](Daemon& d, const char* who) {
            d.send_and_wait(message(user_xml(who, "join")));
            d.send_and_wait(message(user_xml(who, "leave")));
        };
        for (int i = 0; i < 20; ++i)
            off.send_and_wait(last), on.send_and_wait(last), cycle(off, "anna"), cycle(on, "peter");

        Times last_off, last_on, cycle_off, cycle_on, gesture_off, gesture_on;
        double gesture_cpu_off = 0, gesture_cpu_on = 0;
        for (int t = 0; t < std::max(1, n / 100); ++t) {
            turn(last_off, 100, [&] { off.send_and_wait(last); });
            turn(last_on, 100, [&] { on.send_and_wait(last); });
            double t0 = cpu_ns(off.pid());
            turn(gesture_off, 100, [&] { off.send_and_wait(gesture); });
            gesture_cpu_off += cpu_ns(off.pid()) - t0;
            t0 = cpu_ns(on.pid());
            turn(gesture_on, 100, [&] { on.send_and_wait(gesture); });
            gesture_cpu_on += cpu_ns(on.pid()) - t0;
            turn(cycle_off, 5, [&] { cycle(off, "anna"); });
            turn(cycle_on, 5, [&] { cycle(on, "peter"); });
        }

        Times to_broker;
        {
            Watch w(P + "/user/peter");
            w.wait("offline");
            for (int i = 0; i < std::max(20, n / 20); ++i) {
                auto t0 = Clock::now();
                on.send(message(user_xml("peter", "join")));
                to_broker.ms.push_back(
                    std::chrono::duration<double, std::milli>(w.wait("online") - t0).count());
                on.send_and_wait(message(user_xml("peter", "leave")), 10000);
                w.wait("offline");
            }
            to_broker.seconds = 1;
        }
        Times to_event;
        {
            Watch w(P + "/event/gesture");
            for (int i = 0; i < std::max(20, n / 20); ++i) {
                size_t seen;
                {
                    std::lock_guard<std::mutex> lock(w.mu);
                    seen = w.count;
                }
                auto t0 = Clock::now();
                on.send(gesture);
                to_event.ms.push_back(
                    std::chrono::duration<double, std::milli>(w.wait_after(seen) - t0).count());
            }
        }

        Times frozen;
        broker.signal(SIGSTOP);
        turn(frozen, std::max(20, n / 20), [&] {
            on.send_and_wait(message(user_xml("peter", "join")));
            on.send_and_wait(message(user_xml("peter", "leave")));
        });
        broker.signal(SIGCONT);
        for (double& m : frozen.ms)
            m /= 2;
        frozen.seconds /= 2;

        std::printf("velmora MQTT: %d \"last\" messages and %d join + leave cycles per daemon, in "
                    "turns\n",
                    std::max(1, n / 100) * 100, std::max(1, n / 100) * 5);
        std::printf("cores: %ld\n", sysconf(_SC_NPROCESSORS_ONLN));
        last_off.print("\"last\", MQTT off", "msg/s");
        last_on.print("\"last\", MQTT on", "msg/s");
        cycle_off.print("join + leave, MQTT off", "cycles/s");
        cycle_on.print("join + leave, MQTT on", "cycles/s");
        gesture_off.print("gesture l:7 r:1, MQTT off (no event)", "msg/s");
        gesture_on.print("gesture l:7 r:1, MQTT on (an event each)", "msg/s");
        auto ratio = [](const Times& on, const Times& off) {
            return on.ms.size() / on.seconds / (off.ms.size() / off.seconds);
        };
        std::printf("throughput on / off: \"last\" %.3f, join + leave %.3f, gesture with its "
                    "event %.3f (goal >= 0.95)\n",
                    ratio(last_on, last_off), ratio(cycle_on, cycle_off),
                    ratio(gesture_on, gesture_off));
        std::printf("daemon CPU time per gesture (all its threads): %.1f us with its event, %.1f "
                    "us without MQTT (on / off %.3f)\n",
                    gesture_cpu_on / 1000 / gesture_on.ms.size(),
                    gesture_cpu_off / 1000 / gesture_off.ms.size(),
                    gesture_cpu_off / gesture_cpu_on);
        std::sort(to_broker.ms.begin(), to_broker.ms.end());
        std::printf("join's message -> retained P/user/peter at a subscriber (%zu joins): median "
                    "%.2f ms, p99 %.2f ms, max %.2f ms (goal < 20 ms)\n",
                    to_broker.ms.size(), to_broker.ms[to_broker.ms.size() / 2],
                    to_broker.ms[to_broker.ms.size() * 99 / 100], to_broker.ms.back());
        std::sort(to_event.ms.begin(), to_event.ms.end());
        std::printf("gesture's message -> its event at a subscriber (%zu gestures): median %.2f "
                    "ms, p99 %.2f ms, max %.2f ms\n",
                    to_event.ms.size(), to_event.ms[to_event.ms.size() / 2],
                    to_event.ms[to_event.ms.size() * 99 / 100], to_event.ms.back());
        frozen.print("join or leave, broker frozen (per message)", "msg/s");
        on.sigint();
        off.sigint();
        on.wait_exit();
        off.wait_exit();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "mqtt-bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
