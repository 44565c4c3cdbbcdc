// --retire on MQTT: a short session of its own that clears every retained
// message a retired television published. In the MQTT door's module.
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <unistd.h>

#include <mosquitto.h>

#include "log.hpp"
#include "mqtt.hpp"
#include "mqtt_topics.hpp"

namespace {

using Clock = std::chrono::steady_clock;

} // namespace

namespace {

// A short session of its own for --retire: every retained message under
// the retired television's prefix and its discovery configs, each cleared.
class Clearer {
public:
    Clearer(const Settings::Mqtt& s, std::string prefix, std::string discovery)
        : s_(s), prefix_(std::move(prefix)), discovery_(std::move(discovery))
    {
        mosquitto_lib_init();
    }
    ~Clearer()
    {
        m_.reset();
        mosquitto_lib_cleanup();
    }

    // The number of topics cleared, or -1 with `why`.
    int run(std::string& why)
    {
        const std::string id = prefix_ + "/retire-" + std::to_string(getpid());
        m_.reset(mosquitto_new(id.c_str(), true, this));
        if (!m_)
            return fail(why, std::strerror(errno));
        if (!s_.username.empty())
            mosquitto_username_pw_set(m_.get(), s_.username.c_str(),
                                      s_.password.empty() ? nullptr : s_.password.c_str());
        if (!s_.tls_ca.empty() && mosquitto_tls_set(m_.get(), s_.tls_ca.c_str(), nullptr, nullptr,
                                                    nullptr, nullptr) != MOSQ_ERR_SUCCESS)
            return fail(why, "cannot use " + s_.tls_ca + " for TLS");
        mosquitto_message_callback_set(m_.get(),
                                       [](mosquitto*, void* self, const mosquitto_message* msg) {
                                           static_cast<Clearer*>(self)->seen(msg);
                                       });
        mosquitto_publish_callback_set(
            m_.get(), [](mosquitto*, void* self, int) { ++static_cast<Clearer*>(self)->acked_; });
        const std::string host = s_.host.size() > 2 && s_.host.front() == '['
                                     ? s_.host.substr(1, s_.host.size() - 2)
                                     : s_.host;
        int rc = mosquitto_connect(m_.get(), host.c_str(), s_.port, KEEPALIVE_S);
        if (rc != MOSQ_ERR_SUCCESS)
            return fail(why, rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc));
        // The broker sends what a subscription finds retained before it
        // passes on anything published after it: once the marker comes
        // back, every retained message has come.
        marker_ = prefix_ + "/retiring-" + std::to_string(getpid());
        mosquitto_subscribe(m_.get(), nullptr, (prefix_ + "/#").c_str(), 1);
        if (!discovery_.empty())
            mosquitto_subscribe(m_.get(), nullptr,
                                (discovery_ + "/+/" + mqtt_node(prefix_) + "/#").c_str(), 1);
        mosquitto_publish(m_.get(), nullptr, marker_.c_str(), 1, "x", 1, false);
        if (!loop_until([&] { return marker_seen_; }))
            return fail(why, "the broker did not answer within 10 s");
        for (const std::string& topic : retained_)
            mosquitto_publish(m_.get(), nullptr, topic.c_str(), 0, nullptr, 1, true);
        if (!loop_until([&] { return acked_ >= retained_.size() + 1; }))
            return fail(why, "the broker did not confirm within 10 s");
        mosquitto_disconnect(m_.get());
        return static_cast<int>(retained_.size());
    }

private:
    int fail(std::string& why, const std::string& reason)
    {
        why = logSafe(s_.host + ":" + std::to_string(s_.port)) + ": " + logSafe(reason);
        return -1;
    }

    template <typename F> bool loop_until(F done)
    {
        const auto until = Clock::now() + std::chrono::seconds(10);
        while (!done()) {
            if (Clock::now() >= until || mosquitto_loop(m_.get(), 100, 1) != MOSQ_ERR_SUCCESS)
                return done();
        }
        return true;
    }

    void seen(const mosquitto_message* msg)
    {
        if (!msg->topic)
            return;
        if (marker_ == msg->topic)
            marker_seen_ = true;
        else if (msg->retain && msg->payloadlen > 0)
            retained_.insert(msg->topic);
    }

    const Settings::Mqtt& s_;
    const std::string prefix_, discovery_;
    std::unique_ptr<mosquitto, MosqFree> m_;
    std::string marker_;
    bool marker_seen_ = false;
    std::set<std::string> retained_;
    std::size_t acked_ = 0;
};

} // namespace

extern "C" __attribute__((visibility("default"))) int
velmora_mqtt_clear(const Settings& settings, const std::string& prefix,
                   const std::string& discovery, std::string& why)
{
    return Clearer(settings.mqtt, prefix, discovery).run(why);
}
