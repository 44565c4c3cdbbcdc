// A private mosquitto broker for the tests: its own settings file in a test's
// temp dir and a port of its own; stopped, started again and frozen at will.
// The retained messages are read with a fresh in-process subscriber.
#pragma once

#include <map>
#include <string>
#include <sys/types.h>

namespace vt {

class Broker {
public:
    // The mosquitto binary, or "" when it is not installed.
    static std::string binary();

    explicit Broker(const std::string& dir, unsigned port = 18830);
    ~Broker(); // kills a broker that still runs
    Broker(const Broker&) = delete;
    Broker& operator=(const Broker&) = delete;

    void start();             // returns once it takes connections; throws otherwise
    void stop();              // SIGTERM, and waits for the end
    void freeze(bool frozen); // SIGSTOP / SIGCONT

    // The daemon's settings for this broker.
    std::string settings(const std::string& prefix) const;
    // Every retained message, topic -> payload.
    std::map<std::string, std::string> retained() const;
    bool wait_retained(const std::string& topic, const std::string& payload,
                       int timeout_ms = 10000) const;
    // One message with QoS 1, returned once the broker has it.
    void publish(const std::string& topic, const std::string& payload, bool retain = false) const;

private:
    std::string dir_;
    unsigned port_;
    pid_t pid_ = -1;
};

} // namespace vt
