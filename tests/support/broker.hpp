// A private mosquitto broker on a port of its own, its settings and log in a
// test's temp dir; stopped, started again and frozen at will.
#pragma once

#include <map>
#include <string>
#include <sys/types.h>

namespace vt {

class Broker {
public:
    static bool installed();
    explicit Broker(const std::string& dir, unsigned port = 18830);
    ~Broker();
    void start();         // returns once it takes connections
    void signal(int sig); // SIGSTOP, SIGCONT; SIGTERM waits for the end
    // Every retained message (topic -> payload), once `topic` holds `payload`
    // (an absent one holds "") or after the time-out.
    std::map<std::string, std::string> retained(const std::string& topic = "",
                                                const std::string& payload = "",
                                                int timeout_ms = 10000) const;
    // `payload` as one message, or with `each_line` each of its lines as one.
    void publish(const std::string& topic, const std::string& payload, bool retain = false,
                 bool each_line = false) const;

private:
    std::string dir_;
    unsigned port_;
    pid_t pid_ = -1;
};

} // namespace vt
