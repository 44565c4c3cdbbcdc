#include "mqtt.hpp"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include <mosquitto.h>
#include <nlohmann/json.hpp>

#include "inbox.hpp"
#include "secfunc.hpp"

#ifndef VELMORA_VERSION
#define VELMORA_VERSION "0"
#endif

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

// The least the library takes; a frozen broker shows within two of them.
constexpr int KEEPALIVE_S = 5;
constexpr int RETRY_MAX_S = 30;
constexpr auto STOP_BOUND = std::chrono::milliseconds(1000);

// Names come from the database and may hold anything: a byte that is not
// UTF-8 is replaced rather than thrown about.
std::string dump(const json& j)
{
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

// A text as a Home Assistant node or object id ([A-Za-z0-9_-] only): '/'
// becomes '_', every other byte outside A-Z a-z 0-9 becomes -XX, so that two
// texts never share an id.
std::string id_part(std::string_view s)
{
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : s) {
        if (c < 0x80 && std::isalnum(c)) {
            out += static_cast<char>(c);
        } else if (c == '/') {
            out += '_';
        } else {
            out += '-';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

const char* state_of(const HouseholdUser& u)
{
    return u.state == "online" ? "online" : "offline";
}

// The record a Home Assistant control sends on P/command.
std::string record(const char* command, const char* presence = nullptr)
{
    json r = {{"name", "homeassistant"}, {"command", command}};
    if (presence)
        r["presence"] = presence;
    return dump(r);
}

// The same record with the entity's value as presence, as a Home Assistant
// command template.
std::string record_template(const char* command)
{
    return R"({"name": "homeassistant", "command": ")" + std::string(command) +
           R"(", "presence": {{ value | to_json }}})";
}

} // namespace

std::string mqtt_topic_level(std::string_view name)
{
    return percentEncode(name, unreserved);
}

std::vector<MqttMessage> mqtt_messages(const std::string& prefix, const std::string& discovery,
                                       const Snapshot& before, const Snapshot& now, bool all)
{
    std::vector<MqttMessage> out;
    auto put = [&](std::string topic, std::string payload) {
        out.push_back({std::move(topic), std::move(payload)});
    };
    const std::string node = "velmora_" + id_part(prefix);
    const std::string command = prefix + "/command", viewing = prefix + "/viewing";
    auto config_topic = [&](const char* component, const std::string& object) {
        return discovery + "/" + component + "/" + node + "/" + object + "/config";
    };
    json device; // built once a config needs it
    auto config = [&](const char* component, const std::string& object, json body) {
        if (discovery.empty())
            return;
        if (device.is_null())
            device = {{"identifiers", {node}},
                      {"name", "Velmora " + prefix.substr(prefix.rfind('/') + 1)},
                      {"manufacturer", "Velmora"},
                      {"model", "Velmora set-top daemon"},
                      {"sw_version", VELMORA_VERSION}};
        body["unique_id"] = node + "_" + object;
        body["availability_topic"] = prefix + "/status";
        body["device"] = device;
        put(config_topic(component, object), dump(body));
    };

    std::map<std::string, const HouseholdUser*> gone;
    for (const HouseholdUser& u : before.users)
        gone[u.name] = &u;
    for (const HouseholdUser& u : now.users) {
        auto was = gone.find(u.name);
        const bool added = was == gone.end();
        const std::string topic = prefix + "/user/" + mqtt_topic_level(u.name);
        if (all || added || std::strcmp(state_of(*was->second), state_of(u)) != 0)
            put(topic, state_of(u));
        if (all || added)
            config("binary_sensor", "user_" + id_part(u.name),
                   {{"name", u.name},
                    {"state_topic", topic},
                    {"device_class", "presence"},
                    {"payload_on", "online"},
                    {"payload_off", "offline"}});
        if (!added)
            gone.erase(was);
    }
    for (const auto& [name, u] : gone) {
        put(prefix + "/user/" + mqtt_topic_level(name), "");
        if (!discovery.empty())
            put(config_topic("binary_sensor", "user_" + id_part(name)), "");
    }
    if (all || before.online != now.online)
        put(prefix + "/online", dump(json(now.online)));
    if (all || before.viewing_user != now.viewing_user ||
        before.viewing_channel != now.viewing_channel)
        put(viewing, dump({{"user", now.viewing_user}, {"channel", now.viewing_channel}}));
    if (all || before.playing != now.playing)
        put(prefix + "/playing", now.playing);

    if (all) {
        config("sensor", "current_channel",
               {{"name", "Current channel"},
                {"state_topic", viewing},
                {"value_template", "{{ value_json.channel }}"},
                {"icon", "mdi:television-classic"}});
        config("sensor", "current_user",
               {{"name", "Current user"},
                {"state_topic", viewing},
                {"value_template", "{{ value_json.user }}"},
                {"icon", "mdi:account"}});
        const struct {
            const char *object, *name, *icon, *command, *presence;
        } buttons[] = {
            {"next", "Next channel", "mdi:skip-next", "next", nullptr},
            {"prev", "Previous channel", "mdi:skip-previous", "prev", nullptr},
            {"volume_up", "Volume up", "mdi:volume-plus", "volume", "plus"},
            {"volume_down", "Volume down", "mdi:volume-minus", "volume", "minus"},
        };
        for (const auto& b : buttons)
            config("button", b.object,
                   {{"name", b.name},
                    {"command_topic", command},
                    {"payload_press", record(b.command, b.presence)},
                    {"icon", b.icon}});
        config("notify", "notify",
               {{"name", "Notification"},
                {"command_topic", command},
                {"command_template", record_template("notify")}});
    }
    // A select needs at least one option.
    if (all || before.channels != now.channels) {
        if (!now.channels.empty())
            config("select", "channel",
                   {{"name", "Channel"},
                    {"command_topic", command},
                    {"command_template", record_template("change")},
                    {"options", now.channels},
                    {"state_topic", viewing},
                    {"value_template", "{{ value_json.channel }}"},
                    {"icon", "mdi:television-guide"}});
        else if (!discovery.empty())
            put(config_topic("select", "channel"), "");
    }
    return out;
}

namespace {

struct MosqFree {
    void operator()(mosquitto* m) const { mosquitto_destroy(m); }
};

// The link to the broker. The library's network loop runs on a thread of
// ours (mosquitto_loop_start's thread ends for good when the first connect
// fails at once, as with no route at boot, and after a TLS error); the
// serving thread only queues (mosquitto_threaded_set) and never waits.
class Link {
public:
    explicit Link(const Settings::Mqtt& s)
        : host_(s.host.size() > 2 && s.host.front() == '[' ? s.host.substr(1, s.host.size() - 2)
                                                           : s.host),
          where_(logSafe(s.host + ":" + std::to_string(s.port))), port_(s.port), prefix_(s.prefix),
          discovery_(s.discovery), command_(s.prefix + "/command")
    {
        mosquitto_lib_init();
        // Our own id: a restarted daemon takes over its old session at once.
        m_.reset(mosquitto_new(prefix_.c_str(), true, this));
        if (!m_) {
            std::fprintf(stderr, "[mqtt] cannot set up the client (%s); MQTT is off\n",
                         std::strerror(errno));
            done_ = true;
            return;
        }
        mosquitto_threaded_set(m_.get(), true);
        mosquitto_int_option(m_.get(), MOSQ_OPT_TCP_NODELAY, 1);
        mosquitto_will_set(m_.get(), (prefix_ + "/status").c_str(), 7, "offline", 1, true);
        if (!s.username.empty())
            mosquitto_username_pw_set(m_.get(), s.username.c_str(),
                                      s.password.empty() ? nullptr : s.password.c_str());
        if (!s.tls_ca.empty() && mosquitto_tls_set(m_.get(), s.tls_ca.c_str(), nullptr, nullptr,
                                                   nullptr, nullptr) != MOSQ_ERR_SUCCESS)
            std::fprintf(stderr, "[mqtt] cannot use %s for TLS\n", logSafe(s.tls_ca).c_str());
        mosquitto_connect_callback_set(m_.get(), [](mosquitto*, void* self, int rc) {
            static_cast<Link*>(self)->connected(rc);
        });
        mosquitto_publish_callback_set(m_.get(), [](mosquitto*, void* self, int mid) {
            static_cast<Link*>(self)->confirmed(mid);
        });
        mosquitto_message_callback_set(m_.get(),
                                       [](mosquitto*, void* self, const mosquitto_message* msg) {
                                           static_cast<Link*>(self)->received(msg);
                                       });
        net_ = std::thread(&Link::run, this);
    }

    ~Link()
    {
        if (net_.joinable())
            net_.join();
        m_.reset();
        mosquitto_lib_cleanup();
    }

    // On the serving thread: what changed since the broker was last told.
    void changed(const Snapshot& now)
    {
        std::lock_guard<std::mutex> lock(pub_mu_);
        if (!up_)
            return; // the next connect tells everything
        tell(now, false);
    }

    // The status "offline" after what the shutdown told; waits for the
    // broker's confirmation and the disconnect, together at most STOP_BOUND.
    // False when the network thread is still busy (inside a name lookup).
    bool stop()
    {
        const auto deadline = Clock::now() + STOP_BOUND;
        int last = -1;
        {
            std::lock_guard<std::mutex> lock(pub_mu_);
            {
                std::lock_guard<std::mutex> l(mu_);
                stopping_ = true;
            }
            if (up_)
                last = publish(prefix_ + "/status", "offline");
        }
        std::unique_lock<std::mutex> lock(mu_);
        cv_.notify_all();
        bool sure = last < 0 || cv_.wait_until(lock, deadline - STOP_BOUND / 5,
                                               [&] { return acked_.count(last) > 0 || !up_; });
        lock.unlock();
        if (m_)
            mosquitto_disconnect(m_.get());
        lock.lock();
        if (!cv_.wait_until(lock, deadline, [&] { return done_; }))
            return false;
        if (last >= 0)
            std::fprintf(stderr, "[mqtt] disconnected from %s%s\n", where_.c_str(),
                         sure ? "" : " (the last state unconfirmed)");
        return true;
    }

    // At an exit other than the shutdown: the connection is cut without a
    // goodbye, so that the broker publishes the will ("offline").
    bool abandon()
    {
        std::unique_lock<std::mutex> lock(mu_);
        stopping_ = abandoned_ = true;
        cv_.notify_all();
        if (m_ && mosquitto_socket(m_.get()) >= 0)
            shutdown(mosquitto_socket(m_.get()), SHUT_RDWR);
        return cv_.wait_for(lock, STOP_BOUND / 2, [&] { return done_; });
    }

private:
    enum class Shown { Nothing, Connected, Unreachable, Lost, Refused };

    // The network loop: connect, serve the socket, and after a failure try
    // again after 1, 2, 4 ... 30 s (1 s again once connected).
    void run()
    {
        bool open = false;
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(mu_);
                if (stopping_ && (!open || abandoned_))
                    break;
            }
            int rc;
            if (!open) {
                rc = mosquitto_connect_async(m_.get(), host_.c_str(), port_, KEEPALIVE_S);
                open = rc == MOSQ_ERR_SUCCESS;
            } else {
                rc = mosquitto_loop(m_.get(), 1000, 1);
            }
            if (rc == MOSQ_ERR_SUCCESS)
                continue;
            const int error = errno;
            open = false;
            went_down(rc, error);
            std::unique_lock<std::mutex> lock(mu_);
            cv_.wait_for(lock, std::chrono::seconds(retry_s_), [&] { return stopping_; });
            retry_s_ = std::min(retry_s_ * 2, RETRY_MAX_S);
        }
        std::lock_guard<std::mutex> lock(mu_);
        done_ = true;
        cv_.notify_all();
    }

    // On the network thread, from the broker's CONNACK.
    void connected(int rc)
    {
        if (rc != 0) {
            refusal_ = mosquitto_connack_string(rc);
            return;
        }
        mosquitto_subscribe(m_.get(), nullptr, command_.c_str(), 1);
        {
            std::lock_guard<std::mutex> lock(pub_mu_);
            up_ = true;
            publish(prefix_ + "/status", "online");
            tell(household::snapshot(), true);
        }
        std::lock_guard<std::mutex> lock(mu_);
        retry_s_ = 1;
        show(Shown::Connected, "");
    }

    void went_down(int rc, int error)
    {
        {
            std::lock_guard<std::mutex> lock(pub_mu_);
            up_ = false;
        }
        std::lock_guard<std::mutex> lock(mu_);
        cv_.notify_all();
        if (stopping_)
            return;
        std::string why = !refusal_.empty()          ? refusal_
                          : rc == MOSQ_ERR_ERRNO     ? std::strerror(error)
                          : rc == MOSQ_ERR_KEEPALIVE ? "no answer within the keepalive"
                          : rc == MOSQ_ERR_CONN_LOST ? "closed by the broker"
                                                     : mosquitto_strerror(rc);
        if (!why.empty() && why.back() == '.')
            why.pop_back();
        show(!refusal_.empty()            ? Shown::Refused
             : shown_ == Shown::Connected ? Shown::Lost
                                          : Shown::Unreachable,
             why);
        refusal_.clear();
    }

    // One log line per change of state, not per try. mu_ held.
    void show(Shown now, const std::string& why)
    {
        if (now == shown_ || (now == Shown::Unreachable && shown_ == Shown::Lost))
            return;
        shown_ = now;
        const char* w = where_.c_str();
        const std::string r = logSafe(why);
        switch (now) {
        case Shown::Connected:
            std::fprintf(stderr, "[mqtt] connected to %s\n", w);
            break;
        case Shown::Unreachable:
            std::fprintf(stderr, "[mqtt] cannot reach %s (%s); trying again\n", w, r.c_str());
            break;
        case Shown::Lost:
            std::fprintf(stderr, "[mqtt] connection to %s lost (%s); trying again\n", w, r.c_str());
            break;
        case Shown::Refused:
            std::fprintf(stderr, "[mqtt] %s refused the connection (%s); trying again\n", w,
                         r.c_str());
            break;
        case Shown::Nothing:
            break;
        }
    }

    // pub_mu_ held: the broker is told in the order the state changed.
    void tell(const Snapshot& now, bool all)
    {
        for (const MqttMessage& m : mqtt_messages(prefix_, discovery_, told_, now, all))
            publish(m.topic, m.payload);
        told_ = now;
    }

    // Queues one retained message; its id, or -1.
    int publish(const std::string& topic, const std::string& payload)
    {
        int mid = -1;
        int rc = mosquitto_publish(m_.get(), &mid, topic.c_str(), static_cast<int>(payload.size()),
                                   payload.data(), 1, true);
        if (rc != MOSQ_ERR_SUCCESS && !publish_failed_) {
            publish_failed_ = true;
            std::fprintf(stderr, "[mqtt] cannot publish on %s (%s)\n", logSafe(topic).c_str(),
                         mosquitto_strerror(rc));
        }
        return rc == MOSQ_ERR_SUCCESS ? mid : -1;
    }

    // The broker has a message; only those of the shutdown are looked for
    // (confirmations come in the order of publishing).
    void confirmed(int mid)
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (stopping_) {
            acked_.insert(mid);
            cv_.notify_all();
        }
    }

    void received(const mosquitto_message* msg)
    {
        if (!msg->topic || command_ != msg->topic)
            return;
        const std::string topic = logSafe(command_);
        if (msg->retain) {
            // Retained commands would run again at every start.
            std::fprintf(stderr, "[mqtt] ignored a retained message on %s\n", topic.c_str());
            return;
        }
        std::string payload;
        if (msg->payload && msg->payloadlen > 0)
            payload.assign(static_cast<const char*>(msg->payload),
                           static_cast<std::size_t>(msg->payloadlen));
        JsonRecords r = recordsFromJson(payload);
        if (!r.error.empty()) {
            std::fprintf(stderr, "[mqtt] refused a message on %s: %s\n", topic.c_str(),
                         logSafe(r.error).c_str());
            return;
        }
        if (!inbox::post({"mqtt " + command_, std::move(payload), std::move(r.records)}))
            std::fprintf(stderr, "[mqtt] refused a message on %s: %zu messages wait already\n",
                         topic.c_str(), inbox::MAX_WAITING);
    }

    const std::string host_, where_;
    const int port_;
    const std::string prefix_, discovery_, command_;
    std::unique_ptr<mosquitto, MosqFree> m_;
    std::thread net_;

    // What the broker has been told; the serving thread and the network
    // thread's connect take turns.
    std::mutex pub_mu_;
    std::atomic<bool> up_{false};
    Snapshot told_;
    bool publish_failed_ = false;

    // The network thread's state, the shutdown's and the log's.
    std::mutex mu_;
    std::condition_variable cv_;
    bool stopping_ = false, abandoned_ = false, done_ = false;
    int retry_s_ = 1;
    Shown shown_ = Shown::Nothing;
    std::string refusal_;
    std::set<int> acked_;
};

// Not a static owner: at an exit other than the shutdown (a malformed message
// ends the daemon) its destructor would wait for a network thread that was
// never asked to stop. abandon() ends that thread instead.
Link* g_link = nullptr;
pid_t g_owner = 0;

void abandon_link()
{
    if (g_link && getpid() == g_owner && g_link->abandon()) {
        delete g_link;
        g_link = nullptr;
    }
}

} // namespace

void mqtt_start(const Settings& settings)
{
    if (settings.mqtt.host.empty())
        return;
    g_link = new Link(settings.mqtt);
    g_owner = getpid();
    // Registered after the library has set up TLS, whose exit handler must
    // not run while the network thread still uses it: handlers run in reverse.
    std::atexit(abandon_link);
    // The listener's `before` is what the household last told; the link keeps
    // what the broker was told, which differs after an outage.
    household::add_listener([](const Snapshot&, const Snapshot& now) {
        if (g_link)
            g_link->changed(now);
    });
}

void mqtt_stop()
{
    // A network thread still inside a name lookup is left to the exit that
    // follows, with what it uses.
    if (g_link && g_link->stop())
        delete g_link;
    g_link = nullptr;
}
