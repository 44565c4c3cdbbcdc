#include "broker.hpp"

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <fstream>
#include <memory>
#include <mosquitto.h>
#include <mutex>
#include <pwd.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "harness.hpp"

namespace vt {
namespace {

using Clock = std::chrono::steady_clock;

struct Seen {
    std::map<std::string, std::string> retained;
    bool done = false;
};

// Subscribes to every topic and publishes a message of its own: the broker
// sends it after the retained messages. False when that fails within 10 s.
bool read_retained(unsigned port, Seen& s)
{
    std::unique_ptr<mosquitto, void (*)(mosquitto*)> m(mosquitto_new(nullptr, true, &s),
                                                       mosquitto_destroy);
    if (!m || mosquitto_connect(m.get(), "127.0.0.1", static_cast<int>(port), 60) != 0)
        return false;
    mosquitto_message_callback_set(m.get(), [](mosquitto*, void* p, const mosquitto_message* msg) {
        Seen& s = *static_cast<Seen*>(p);
        if (msg->retain)
            s.retained[msg->topic].assign(static_cast<const char*>(msg->payload), msg->payloadlen);
        s.done = s.done || std::string(msg->topic) == "vt/sync";
    });
    mosquitto_subscribe(m.get(), nullptr, "#", 1);
    mosquitto_publish(m.get(), nullptr, "vt/sync", 0, nullptr, 1, false);
    for (auto end = Clock::now() + std::chrono::seconds(10); !s.done;)
        if (Clock::now() > end || mosquitto_loop(m.get(), 100, 1) != 0)
            return false;
    return true;
}

} // namespace

bool Broker::installed()
{
    return access("/usr/sbin/mosquitto", X_OK) == 0 && access("/usr/bin/mosquitto_pub", X_OK) == 0;
}

Broker::Broker(const std::string& dir, unsigned port) : dir_(dir), port_(port)
{
    mosquitto_lib_init();
    // As root it would change to a user of its own, who may not write here.
    const passwd* me = getpwuid(geteuid());
    std::ofstream(dir_ + "/mosquitto.conf")
        << "listener " << port_ << " 127.0.0.1\nallow_anonymous true\nlog_dest file " << dir_
        << "/mosquitto.log\nuser " << (me ? me->pw_name : "root") << "\n";
}

Broker::~Broker()
{
    listener_.reset();
    signal(SIGKILL);
    mosquitto_lib_cleanup();
}

void Broker::start()
{
    if ((pid_ = fork()) == 0) {
        execl("/usr/sbin/mosquitto", "mosquitto", "-c", (dir_ + "/mosquitto.conf").c_str(),
              nullptr);
        _exit(127);
    }
    for (int i = 0;; ++i) {
        if (Seen s; read_retained(port_, s))
            return;
        if (i == 500 || waitpid(pid_, nullptr, WNOHANG) == pid_)
            throw std::runtime_error("vt: no broker; see " + dir_ + "/mosquitto.log");
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void Broker::signal(int sig)
{
    if (pid_ > 0 && kill(pid_, sig) == 0 && sig != SIGSTOP && sig != SIGCONT)
        waitpid(pid_, nullptr, 0), pid_ = -1;
}

std::map<std::string, std::string>
Broker::retained(const std::string& topic, const std::string& payload, int timeout_ms) const
{
    for (auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);;) {
        Seen s;
        if (!read_retained(port_, s))
            throw std::runtime_error("vt: cannot read the broker's retained messages");
        const std::string& now = s.retained[topic];
        if (topic.empty() || now == payload || (payload == "*" && !now.empty()) ||
            Clock::now() > end)
            return s.retained;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void Broker::publish(const std::string& topic, const std::string& payload, bool retain,
                     bool each_line) const
{
    std::vector<std::string> argv = {
        "mosquitto_pub",        "-p", std::to_string(port_), "-q", "1", "-t", topic,
        each_line ? "-l" : "-s"};
    if (retain)
        argv.push_back("-r");
    Ran r = run(argv, payload);
    if (r.status != 0)
        throw std::runtime_error("vt: mosquitto_pub: " + r.err);
}

struct Broker::Listener {
    mosquitto* m = mosquitto_new(nullptr, true, this);
    std::mutex mu;
    std::condition_variable cv;
    std::vector<std::string> heard;
    bool subscribed = false;
    ~Listener() { mosquitto_disconnect(m), mosquitto_loop_stop(m, false), mosquitto_destroy(m); }
};

void Broker::listen(const std::string& filter)
{
    auto l = listener_ = std::make_shared<Listener>();
    mosquitto_subscribe_callback_set(l->m, [](mosquitto*, void* p, int, int, const int*) {
        auto& l = *static_cast<Listener*>(p);
        std::lock_guard<std::mutex> lock(l.mu);
        l.subscribed = true, l.cv.notify_all();
    });
    mosquitto_message_callback_set(l->m, [](mosquitto*, void* p, const mosquitto_message* msg) {
        auto& l = *static_cast<Listener*>(p);
        std::lock_guard<std::mutex> lock(l.mu);
        if (!msg->retain)
            l.heard.push_back(msg->topic + (" " + std::string(static_cast<char*>(msg->payload),
                                                              msg->payloadlen)));
        l.cv.notify_all();
    });
    std::unique_lock<std::mutex> lock(l->mu);
    if (mosquitto_connect(l->m, "127.0.0.1", static_cast<int>(port_), 60) != MOSQ_ERR_SUCCESS ||
        mosquitto_subscribe(l->m, nullptr, filter.c_str(), 1) != MOSQ_ERR_SUCCESS ||
        mosquitto_loop_start(l->m) != MOSQ_ERR_SUCCESS ||
        !l->cv.wait_for(lock, std::chrono::seconds(10), [&] { return l->subscribed; }))
        throw std::runtime_error("vt: cannot subscribe to " + filter);
}

std::vector<std::string> Broker::heard(size_t count, int timeout_ms) const
{
    std::unique_lock<std::mutex> lock(listener_->mu);
    listener_->cv.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                           [&] { return listener_->heard.size() >= count; });
    return listener_->heard;
}

} // namespace vt
