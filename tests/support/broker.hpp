// A private mosquitto broker on a port of its own, its settings and log in a
// test's temp dir; stopped, started again and frozen at will.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace vt {

class Broker {
public:
    static bool installed();
    explicit Broker(const std::string& dir, unsigned port = 18830);
    ~Broker();
    void start();         // returns once it takes connections
    void signal(int sig); // SIGSTOP, SIGCONT; SIGTERM waits for the end
    // Every retained message (topic -> payload), once `topic` holds `payload`
    // (an absent one holds ""; "*" is any present one) or after the time-out.
    std::map<std::string, std::string> retained(const std::string& topic = "",
                                                const std::string& payload = "",
                                                int timeout_ms = 10000) const;
    // `payload` as one message, or with `each_line` each of its lines as one.
    void publish(const std::string& topic, const std::string& payload, bool retain = false,
                 bool each_line = false) const;
    // From its return, every message on `filter` that is not retained; what
    // came, as "TOPIC PAYLOAD" in order, once `count` have or after the time-out.
    void listen(const std::string& filter);
    std::vector<std::string> heard(size_t count, int timeout_ms = 10000) const;

private:
    struct Listener;
    std::string dir_;
    unsigned port_;
    pid_t pid_ = -1;
    std::shared_ptr<Listener> listener_;
};

} // namespace vt
