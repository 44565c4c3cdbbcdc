// The daemon on MQTT, against a real private mosquitto broker: the retained
// state it publishes, Home Assistant's discovery configs, the commands it
// takes, and a broker that is missing, restarts or freezes.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>

#include "broker.hpp"
#include "harness.hpp"
#include "inbox.hpp"

using namespace vt;
using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

const std::string P = "velmora/tv", kBroker = "127.0.0.1:18830";

size_t count(const std::string& text, const std::string& needle)
{
    size_t n = 0;
    for (size_t at = 0; (at = text.find(needle, at)) != std::string::npos; at += needle.size())
        ++n;
    return n;
}

struct Mqtt : ::testing::Test {
    void SetUp() override
    {
        if (Broker::binary().empty())
            GTEST_SKIP() << "mosquitto is not installed (apt-get install mosquitto)";
        reset_database();
        d.args({"--config", env.write_config(broker.settings(P))});
    }
    TestEnv env;
    Broker broker{env.dir()};
    Daemon d{env};
};

// Every discovery config against the keys Home Assistant documents; one
// device and the availability for all; the controls send valid records.
void check_discovery(const std::map<std::string, std::string>& retained, size_t users)
{
    std::ifstream file(VELMORA_SOURCE_DIR "/tests/data/ha-discovery.json");
    const json schema = json::parse(file);
    auto has = [](const json& list, const std::string& key) {
        return std::find(list.begin(), list.end(), key) != list.end();
    };
    std::map<std::string, size_t> kinds;
    std::set<std::string> ids;
    json device;
    for (const auto& [topic, payload] : retained) {
        if (topic.rfind("homeassistant/", 0) != 0)
            continue;
        SCOPED_TRACE(topic);
        const std::string kind = topic.substr(14, topic.find('/', 14) - 14);
        const json c = json::parse(payload), &s = schema.at(kind);
        ++kinds[kind];
        for (const auto& key : s["required"])
            EXPECT_TRUE(c.contains(key)) << key;
        for (const auto& [key, value] : c.items())
            EXPECT_TRUE(has(schema["common"], key) || has(s["required"], key) ||
                        has(s["allowed"], key))
                << key;
        for (const auto& [key, value] : c["device"].items())
            EXPECT_TRUE(has(schema["device"], key)) << key;
        EXPECT_TRUE(ids.insert(c["unique_id"].get<std::string>()).second);
        EXPECT_EQ(c["availability_topic"], P + "/status");
        EXPECT_EQ(c["device"], device.is_null() ? device = c["device"] : device);
        if (kind == "binary_sensor") {
            EXPECT_EQ(c["device_class"], "presence");
        }
        if (c.contains("payload_press")) {
            EXPECT_EQ(recordsFromJson(c["payload_press"].get<std::string>()).error, "");
        }
        if (c.contains("command_template")) {
            std::string r = c["command_template"];
            r.replace(r.find("{{ value | to_json }}"), 21, "\"it's \\\"ct1\\\"\"");
            EXPECT_EQ(recordsFromJson(r).error, "");
        }
    }
    EXPECT_EQ(
        kinds,
        (std::map<std::string, size_t>{
            {"binary_sensor", users}, {"button", 4}, {"notify", 1}, {"select", 1}, {"sensor", 2}}));
}

} // namespace

// A join, a user gone from the household, a leave and the shutdown, as the
// retained topics and the discovery configs show them.
TEST_F(Mqtt, RetainedStateThroughAnEvening)
{
    broker.start();
    d.start();
    ASSERT_TRUE(broker.wait_retained(P + "/user/tom", "offline"));
    d.send_and_wait(message(user_xml("anna", "join") + user_xml("peter", "join")));
    ASSERT_TRUE(broker.wait_retained(P + "/user/peter", "online"));
    auto r = broker.retained();
    EXPECT_EQ(r[P + "/status"], "online");
    EXPECT_EQ(r[P + "/user/anna"], "online");
    EXPECT_EQ(r[P + "/user/eva"], "offline");
    EXPECT_EQ(r[P + "/online"], R"(["anna","peter"])");
    EXPECT_EQ(r[P + "/viewing"], R"({"channel":"ct2","user":"peter"})");
    EXPECT_EQ(json::parse(r["homeassistant/select/velmora_velmora_tv/channel/config"])["options"],
              json({"ct1", "ct2", "ct3", "nova", "prima", "joj"}));
    check_discovery(r, 4);

    db_exec("DELETE FROM users WHERE name = 'tom'");
    d.send_and_wait(message(user_xml("anna", "leave")));
    ASSERT_TRUE(broker.wait_retained(P + "/user/anna", "offline"));
    r = broker.retained();
    EXPECT_EQ(r.count(P + "/user/tom"), 0u);
    EXPECT_EQ(r.count("homeassistant/binary_sensor/velmora_velmora_tv/user_tom/config"), 0u);
    EXPECT_EQ(r[P + "/online"], R"(["peter"])");
    EXPECT_EQ(r[P + "/playing"], "ct2");
    check_discovery(r, 3);

    d.sigint();
    EXPECT_EQ(d.wait_exit(), 0);
    r = broker.retained();
    EXPECT_EQ(r[P + "/status"], "offline");
    EXPECT_EQ(r[P + "/user/peter"], "offline");
    EXPECT_EQ(r[P + "/online"], "[]");
    EXPECT_EQ(r.count(P + "/playing"), 0u); // "" once the screen is restored
    EXPECT_EQ(count(d.err(), "[mqtt] connected to " + kBroker + "\n"), 1u);
    EXPECT_NE(d.err().find("[mqtt] disconnected from " + kBroker + "\n"), std::string::npos);
}

// Commands on P/command: a channel change, several records at once, a user
// whose name is no plain topic level; hostile payloads are refused with one
// line each, and a retained command does not run at the start.
TEST_F(Mqtt, CommandsIn)
{
    db_exec("INSERT INTO users (id, name) VALUES (5, 'a/b+#%'); INSERT INTO userHasState VALUES "
            "(5, 2); INSERT INTO userHasLast VALUES (5, NULL)");
    broker.start();
    broker.publish(P + "/command", R"({"command": "change", "presence": "ct1"})", true);
    d.start();
    ASSERT_TRUE(d.wait_stderr("[mqtt] ignored a retained message on " + P + "/command\n"));
    broker.publish(P + "/command", R"({"name": "x", "command": "change", "presence": "ct3"})");
    ASSERT_TRUE(env.wait_invocations_of("mplayer", 1));
    EXPECT_EQ(env.invocations_of("mplayer")[0].argv.back(), "dvb://ct3");
    const std::string several =
        R"([{"name": "a/b+#%", "command": "join"}, {"name": "x", "probability": 77}])";
    broker.publish(P + "/command", several);
    ASSERT_TRUE(broker.wait_retained(P + "/user/a%2Fb%2B%23%25", "online"));
    EXPECT_NE(d.err().find("[RCV mqtt " + P + "/command] " + several + "\n"), std::string::npos);
    EXPECT_TRUE(d.wait_stderr("[server] user: x, prob: 77\n"));

    const struct {
        std::string payload, reason;
    } hostile[] = {
        {"join anna", "not JSON"},
        {std::string("{\"name\": \"a\0b\"}", 14), "not JSON"},
        {R"({"name": "a\u0000b", "command": "join"})", "'name' holds a control character"},
        {R"({"name": ["anna"]})", "'name' must be a text or null"},
        {R"({"probability": "very"})", "'probability' is not a number"},
        {R"({"name": "a", "nick": "b"})", "unknown field 'nick'"},
        {"[]", "no records"},
        {"[" + std::string(1 << 20, ' ') + "]", "longer than 4096 bytes"},
    };
    for (const auto& h : hostile) {
        broker.publish(P + "/command", h.payload);
        EXPECT_TRUE(
            d.wait_stderr("[mqtt] refused a message on " + P + "/command: " + h.reason + "\n"))
            << h.reason;
    }
    broker.publish(P + "/command", R"({"command": "last"})");
    ASSERT_TRUE(d.wait_stdout("[memory] currentUser: ", 15000, 3));
    EXPECT_EQ(count(d.err(), "[RCV mqtt "), 3u);
    EXPECT_EQ(env.invocations_of("mplayer").size(), 1u);
    d.send("<m>"); // a malformed message ends the daemon: the broker tells the will
    EXPECT_EQ(d.wait_exit(), 255);
    EXPECT_TRUE(broker.wait_retained(P + "/status", "offline"));
}

// No broker at the start, a broker that stops and starts again, and one that
// freezes: the television is served all along, one log line per change of
// state, and the whole state is back on the broker soon after it is.
TEST_F(Mqtt, BrokerOutages)
{
    using ms = std::chrono::milliseconds;
    auto served_within = [&](const std::string& m) {
        auto t0 = Clock::now();
        d.send_and_wait(m);
        return std::chrono::duration_cast<ms>(Clock::now() - t0) < ms(500);
    };
    d.start();
    ASSERT_TRUE(
        d.wait_stderr("[mqtt] cannot reach " + kBroker + " (Connection refused); trying again\n"));
    EXPECT_TRUE(served_within(message(user_xml("anna", "join"))));
    broker.start();
    EXPECT_TRUE(broker.wait_retained(P + "/user/anna", "online", 5000));

    broker.stop();
    ASSERT_TRUE(d.wait_stderr("[mqtt] connection to " + kBroker +
                              " lost (closed by the broker); trying again\n"));
    EXPECT_TRUE(served_within(message(user_xml("peter", "join"))));
    broker.start();
    EXPECT_TRUE(broker.wait_retained(P + "/user/peter", "online", 5000));
    EXPECT_EQ(broker.retained()[P + "/status"], "online");

    broker.freeze(true);
    const std::string lost = "[mqtt] connection to " + kBroker +
                             " lost (no answer within the keepalive); trying again\n";
    for (auto end = Clock::now() + std::chrono::seconds(30);
         Clock::now() < end && !d.wait_stderr(lost, 100);)
        EXPECT_TRUE(served_within(message(user_xml("x", "next"))));
    EXPECT_TRUE(served_within(message(user_xml("eva", "join"))));
    broker.freeze(false);
    EXPECT_TRUE(broker.wait_retained(P + "/user/eva", "online", 5000));
    EXPECT_EQ(broker.retained()[P + "/status"], "online");

    broker.freeze(true);
    d.sigint();
    EXPECT_EQ(d.wait_exit(5000), 0);
    broker.freeze(false);
    EXPECT_TRUE(broker.wait_retained(P + "/status", "offline"));
    EXPECT_EQ(count(d.err(), "[mqtt] cannot reach"), 1u);
    EXPECT_EQ(count(d.err(), "[mqtt] connection to"), 2u);
}
