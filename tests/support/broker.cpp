#include "broker.hpp"

#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <mosquitto.h>
#include <pwd.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace vt {
namespace {

using Clock = std::chrono::steady_clock;

struct Client {
    std::unique_ptr<mosquitto, void (*)(mosquitto*)> m{nullptr, mosquitto_destroy};
    // Connected to the broker on `port`, or not at all.
    Client(unsigned port, void* user)
    {
        m.reset(mosquitto_new(nullptr, true, user));
        if (m && mosquitto_connect(m.get(), "127.0.0.1", static_cast<int>(port), 60) != 0)
            m.reset();
    }
    // Serves the connection until done() or 10 s; false on a failure.
    template <class Done> bool until(Done done)
    {
        for (auto end = Clock::now() + std::chrono::seconds(10); !done();)
            if (Clock::now() > end || mosquitto_loop(m.get(), 100, 1) != MOSQ_ERR_SUCCESS)
                return false;
        return true;
    }
};

struct Seen {
    std::map<std::string, std::string> retained;
    bool synced = false;
};

} // namespace

std::string Broker::binary()
{
    for (const char* path : {"/usr/sbin/mosquitto", "/usr/local/sbin/mosquitto"})
        if (access(path, X_OK) == 0)
            return path;
    return "";
}

Broker::Broker(const std::string& dir, unsigned port) : dir_(dir), port_(port)
{
    mosquitto_lib_init();
    // As root the broker would change to its own user, which may not read here.
    const passwd* me = getpwuid(geteuid());
    std::ofstream(dir_ + "/mosquitto.conf")
        << "listener " << port_ << " 127.0.0.1\nallow_anonymous true\nuser "
        << (me ? me->pw_name : "root") << "\n";
}

Broker::~Broker()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    mosquitto_lib_cleanup();
}

void Broker::start()
{
    pid_ = fork();
    if (pid_ == 0) {
        int log = open((dir_ + "/mosquitto.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        dup2(log, 1);
        dup2(log, 2);
        execl(binary().c_str(), "mosquitto", "-c", (dir_ + "/mosquitto.conf").c_str(), nullptr);
        _exit(127);
    }
    for (auto end = Clock::now() + std::chrono::seconds(10); !Client(port_, nullptr).m;) {
        if (Clock::now() > end || waitpid(pid_, nullptr, WNOHANG) == pid_)
            throw std::runtime_error("vt: mosquitto does not start; see " + dir_ +
                                     "/mosquitto.log");
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void Broker::stop()
{
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

void Broker::freeze(bool frozen)
{
    kill(pid_, frozen ? SIGSTOP : SIGCONT);
}

std::string Broker::settings(const std::string& prefix) const
{
    return "[mqtt]\nhost = 127.0.0.1\nport = " + std::to_string(port_) + "\nprefix = " + prefix +
           "\n";
}

// The broker sends the retained messages on a subscription before it handles
// the subscriber's next message: a message of its own marks their end.
std::map<std::string, std::string> Broker::retained() const
{
    Seen seen;
    Client c(port_, &seen);
    if (!c.m)
        throw std::runtime_error("vt: cannot connect to the broker");
    mosquitto_message_callback_set(c.m.get(), [](mosquitto*, void* p, const mosquitto_message* m) {
        Seen& s = *static_cast<Seen*>(p);
        if (std::strcmp(m->topic, "vt/sync") == 0)
            s.synced = true;
        else if (m->retain)
            s.retained[m->topic].assign(static_cast<const char*>(m->payload), m->payloadlen);
    });
    mosquitto_subscribe(c.m.get(), nullptr, "#", 0);
    mosquitto_publish(c.m.get(), nullptr, "vt/sync", 0, nullptr, 0, false);
    if (!c.until([&] { return seen.synced; }))
        throw std::runtime_error("vt: no retained messages from the broker");
    return seen.retained;
}

bool Broker::wait_retained(const std::string& topic, const std::string& payload,
                           int timeout_ms) const
{
    for (auto end = Clock::now() + std::chrono::milliseconds(timeout_ms); Clock::now() < end;
         std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
        auto all = retained();
        if (all.count(topic) && all[topic] == payload)
            return true;
    }
    return false;
}

void Broker::publish(const std::string& topic, const std::string& payload, bool retain) const
{
    bool done = false;
    Client c(port_, &done);
    if (!c.m)
        throw std::runtime_error("vt: cannot connect to the broker");
    mosquitto_publish_callback_set(c.m.get(),
                                   [](mosquitto*, void* p, int) { *static_cast<bool*>(p) = true; });
    mosquitto_publish(c.m.get(), nullptr, topic.c_str(), static_cast<int>(payload.size()),
                      payload.data(), 1, retain);
    if (!c.until([&] { return done; }))
        throw std::runtime_error("vt: the broker did not take " + topic);
}

} // namespace vt
