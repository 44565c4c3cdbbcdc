#include "mqtt.hpp"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <set>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include <mosquitto.h>

#include "json_records.hpp"
#include "log.hpp"
#include "mqtt_topics.hpp"
#include "net.hpp"
#include "refusals.hpp"

namespace {

using Clock = std::chrono::steady_clock;

// The least the library takes; a frozen broker shows within two of them.
constexpr int KEEPALIVE_S = 5;
constexpr int RETRY_MAX_S = 30;
constexpr auto STOP_BOUND = std::chrono::milliseconds(1000);
constexpr auto CA_RETRY = std::chrono::minutes(1);

struct MosqFree {
    void operator()(mosquitto* m) const { mosquitto_destroy(m); }
};

// One log line per change of the connection's state, not per try.
class ConnectionLog {
public:
    explicit ConnectionLog(std::string where) : where_(std::move(where)) {}
    const std::string& where() const { return where_; }
    void connected() { show(Shown::Connected, ""); }
    // A try that failed or a connection that was lost; `refusal` is the
    // broker's answer when it refused the connection.
    void down(int rc, int error, const std::string& refusal)
    {
        // A broker that closes while our messages are still unread in its
        // socket resets the connection: that is the broker closing it too.
        if (rc == MOSQ_ERR_ERRNO && (error == ECONNRESET || error == EPIPE))
            rc = MOSQ_ERR_CONN_LOST;
        std::string why = !refusal.empty()           ? refusal
                          : rc == MOSQ_ERR_ERRNO     ? std::strerror(error)
                          : rc == MOSQ_ERR_KEEPALIVE ? "no answer within the keepalive"
                          : rc == MOSQ_ERR_CONN_LOST ? "closed by the broker"
                                                     : mosquitto_strerror(rc);
        if (!why.empty() && why.back() == '.')
            why.pop_back();
        show(!refusal.empty()             ? Shown::Refused
             : shown_ == Shown::Connected ? Shown::Lost
                                          : Shown::Unreachable,
             why);
    }

private:
    enum class Shown { Nothing, Connected, Unreachable, Lost, Refused };

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

    const std::string where_;
    Shown shown_ = Shown::Nothing;
};

// A message on the command topic: its records go to the serving loop through
// the inbox, on the network thread.
void take_command(const DoorHost& host, const std::string& command, const mosquitto_message* msg)
{
    if (!msg->topic || command != msg->topic)
        return;
    const std::string topic = logSafe(command);
    if (msg->retain) {
        // Retained commands would run again at every start.
        std::fprintf(stderr, "[mqtt] ignored a retained message on %s\n", topic.c_str());
        return;
    }
    std::string payload;
    if (msg->payload && msg->payloadlen > 0)
        payload.assign(static_cast<const char*>(msg->payload),
                       static_cast<std::size_t>(msg->payloadlen));
    // A flood of them writes a count a second, not a line each.
    static RefusalLog refusals;
    JsonRecords r = recordsFromJson(payload);
    if (!r.error.empty()) {
        refusals.refused("[mqtt] refused a message on " + topic + ": " + logSafe(r.error));
        return;
    }
    if (!host.post({"mqtt " + command, std::move(payload), std::move(r.records)}))
        refusals.refused("[mqtt] refused a message on " + topic + ": " +
                         std::to_string(inbox::MAX_WAITING) + " messages wait already");
}

// What the broker has been told. Every state goes out as retained messages
// in the order the household changed; while the link is down nothing is
// queued, and the next connect tells everything. The serving thread and the
// network thread's connect take turns.
class Teller {
public:
    Teller(const DoorHost& host, std::string prefix, std::string discovery)
        : host_(host), prefix_(std::move(prefix)), discovery_(std::move(discovery))
    {
    }

    void use(mosquitto* m) { m_ = m; }

    // On the serving thread: what changed since the broker was last told, or
    // everything when the household asks for it.
    void changed(const Snapshot& now)
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (up_)
            tell(now, now.announced != told_.announced);
    }

    // On the network thread, once the broker accepted the connection.
    void up()
    {
        std::lock_guard<std::mutex> lock(mu_);
        up_ = true;
        publish(prefix_ + "/status", "online");
        tell(host_.snapshot(), true);
    }

    // On the serving thread, after --retire cleared what this television
    // published while it ran: the status as well as everything else.
    void status_again()
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (up_)
            publish(prefix_ + "/status", "online");
    }

    void down()
    {
        std::lock_guard<std::mutex> lock(mu_);
        up_ = false;
    }

    bool is_up() const { return up_; }

    // The shutdown's status "offline": its message id, or -1 when the link
    // is down or the message could not be queued. `first` runs under the
    // lock, so that nothing is told after it.
    template <typename F> int last_word(F first)
    {
        std::lock_guard<std::mutex> lock(mu_);
        first();
        return up_ ? publish(prefix_ + "/status", "offline") : -1;
    }

private:
    // mu_ held.
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
        int rc = mosquitto_publish(m_, &mid, topic.c_str(), static_cast<int>(payload.size()),
                                   payload.data(), 1, true);
        if (rc != MOSQ_ERR_SUCCESS && !publish_failed_) {
            publish_failed_ = true;
            std::fprintf(stderr, "[mqtt] cannot publish on %s (%s)\n", logSafe(topic).c_str(),
                         mosquitto_strerror(rc));
        }
        return rc == MOSQ_ERR_SUCCESS ? mid : -1;
    }

    const DoorHost& host_;
    const std::string prefix_, discovery_;
    mosquitto* m_ = nullptr;
    std::mutex mu_;
    std::atomic<bool> up_{false};
    Snapshot told_;
    bool publish_failed_ = false;
};

// The link to the broker. The library's network loop runs on a thread of
// ours (mosquitto_loop_start's thread ends for good when the first connect
// fails at once, as with no route at boot, and after a TLS error); the
// serving thread only queues (mosquitto_threaded_set) and never waits.
class Link {
public:
    Link(const Settings::Mqtt& s, const DoorHost& host)
        : door_host_(host), host_(s.host.size() > 2 && s.host.front() == '[' ? s.host.substr(1, s.host.size() - 2)
                                                           : s.host),
          port_(s.port), prefix_(s.prefix), command_(s.prefix + "/command"), tls_ca_(s.tls_ca),
          tls_ready_(s.tls_ca.empty()), teller_(host, s.prefix, s.discovery),
          log_(logSafe(s.host + ":" + std::to_string(s.port)))
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
        teller_.use(m_.get());
        mosquitto_threaded_set(m_.get(), true);
        mosquitto_int_option(m_.get(), MOSQ_OPT_TCP_NODELAY, 1);
        mosquitto_will_set(m_.get(), (prefix_ + "/status").c_str(), 7, "offline", 1, true);
        if (!s.username.empty())
            mosquitto_username_pw_set(m_.get(), s.username.c_str(),
                                      s.password.empty() ? nullptr : s.password.c_str());
        mosquitto_connect_callback_set(m_.get(), [](mosquitto*, void* self, int rc) {
            static_cast<Link*>(self)->connected(rc);
        });
        mosquitto_publish_callback_set(m_.get(), [](mosquitto*, void* self, int mid) {
            static_cast<Link*>(self)->confirmed(mid);
        });
        mosquitto_message_callback_set(m_.get(),
                                       [](mosquitto*, void* self, const mosquitto_message* msg) {
                                           auto* link = static_cast<Link*>(self);
                                           take_command(link->door_host_, link->command_, msg);
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
        if (now.announced != announced_) {
            announced_ = now.announced;
            teller_.status_again();
        }
        teller_.changed(now);
    }

    // The status "offline" after what the shutdown told; waits for the
    // broker's confirmation and the disconnect, together at most STOP_BOUND.
    // False when the network thread is still busy (inside a name lookup).
    bool stop()
    {
        const auto deadline = Clock::now() + STOP_BOUND;
        const int last = teller_.last_word([&] {
            std::lock_guard<std::mutex> l(mu_);
            stopping_ = true;
        });
        std::unique_lock<std::mutex> lock(mu_);
        cv_.notify_all();
        bool sure = last < 0 || cv_.wait_until(lock, deadline - STOP_BOUND / 5, [&] {
            return acked_.count(last) > 0 || !teller_.is_up();
        });
        lock.unlock();
        if (m_)
            mosquitto_disconnect(m_.get());
        lock.lock();
        if (!cv_.wait_until(lock, deadline, [&] { return done_; }))
            return false;
        if (last >= 0)
            std::fprintf(stderr, "[mqtt] disconnected from %s%s\n", log_.where().c_str(),
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
            if (!open && !tls_ready_ && !use_ca()) {
                std::unique_lock<std::mutex> lock(mu_);
                cv_.wait_for(lock, CA_RETRY, [&] { return stopping_; });
                continue;
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

    // TLS that was asked for and cannot be set up is never replaced by a
    // clear connection, which would show the broker's password to the
    // network: the broker stays unconnected, with a line a minute, until the
    // CA file can be used. The library only checks that it opens; a CA that
    // it then cannot load fails the TLS handshake, so nothing goes in clear.
    bool use_ca()
    {
        Fd ca(open(tls_ca_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
        struct stat st;
        std::string why = ca.fd < 0 || fstat(ca.fd, &st) != 0 ? std::strerror(errno)
                          : !S_ISREG(st.st_mode)              ? "not a file"
                                                              : "";
        if (why.empty() && mosquitto_tls_set(m_.get(), tls_ca_.c_str(), nullptr, nullptr, nullptr,
                                             nullptr) == MOSQ_ERR_SUCCESS)
            return tls_ready_ = true;
        std::fprintf(stderr,
                     "[mqtt] cannot use %s for TLS (%s); not connecting to %s, trying again in "
                     "a minute\n",
                     logSafe(tls_ca_).c_str(),
                     why.empty() ? "the MQTT library refused it" : why.c_str(),
                     log_.where().c_str());
        return false;
    }

    // On the network thread, from the broker's CONNACK.
    void connected(int rc)
    {
        if (rc != 0) {
            refusal_ = mosquitto_connack_string(rc);
            return;
        }
        mosquitto_subscribe(m_.get(), nullptr, command_.c_str(), 1);
        teller_.up();
        std::lock_guard<std::mutex> lock(mu_);
        retry_s_ = 1;
        log_.connected();
    }

    void went_down(int rc, int error)
    {
        teller_.down();
        std::lock_guard<std::mutex> lock(mu_);
        cv_.notify_all();
        if (!stopping_)
            log_.down(rc, error, refusal_);
        refusal_.clear();
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

    const DoorHost& door_host_;
    unsigned announced_ = 0; // the serving thread's
    const std::string host_;
    const int port_;
    const std::string prefix_, command_, tls_ca_;
    bool tls_ready_; // no TLS asked for, or the CA is set
    std::unique_ptr<mosquitto, MosqFree> m_;
    Teller teller_;
    std::thread net_;

    // The network thread's state, the shutdown's and the log's.
    std::mutex mu_;
    std::condition_variable cv_;
    bool stopping_ = false, abandoned_ = false, done_ = false;
    int retry_s_ = 1;
    ConnectionLog log_;
    std::string refusal_;
    std::set<int> acked_;
};

class MqttDoor : public Door {
public:
    MqttDoor(const Settings::Mqtt& s, const DoorHost& host) : settings_(s), host_(host) {}

    ~MqttDoor() override
    {
        if (listener_)
            host_.remove_listener(listener_);
        // A network thread still inside a name lookup is left to the end
        // of the process, with what it uses.
        if (link_ && !done_)
            abandon();
        if (!done_)
            link_.release();
    }

    void start() override
    {
        link_ = std::make_unique<Link>(settings_, host_);
        // The listener's `before` is what the household last told; the link
        // keeps what the broker was told, which differs after an outage.
        listener_ =
            host_.add_listener([this](const Snapshot&, const Snapshot& now) { link_->changed(now); });
    }

    void stop() override { done_ = link_ && link_->stop(); }
    void abandon() override { done_ = link_ && link_->abandon(); }

private:
    const Settings::Mqtt settings_;
    const DoorHost host_;
    std::unique_ptr<Link> link_;
    std::size_t listener_ = 0;
    bool done_ = false;
};

} // namespace

std::unique_ptr<Door> mqtt_open(const Settings& settings, const DoorHost& host)
{
    if (settings.mqtt.host.empty())
        return nullptr;
    return std::make_unique<MqttDoor>(settings.mqtt, host);
}

extern "C" __attribute__((visibility("default"))) Door* velmora_mqtt_open(const Settings& settings,
                                                                          const DoorHost& host)
{
    return mqtt_open(settings, host).release();
}

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
        if (!s_.tls_ca.empty() &&
            mosquitto_tls_set(m_.get(), s_.tls_ca.c_str(), nullptr, nullptr, nullptr, nullptr) !=
                MOSQ_ERR_SUCCESS)
            return fail(why, "cannot use " + s_.tls_ca + " for TLS");
        mosquitto_message_callback_set(m_.get(), [](mosquitto*, void* self, const mosquitto_message* msg) {
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
