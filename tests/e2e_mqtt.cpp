// The daemon on MQTT against a private mosquitto broker: the retained state,
// the discovery configs, commands in, a broker missing, restarted or frozen.
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>

#include "broker.hpp"
#include "harness.hpp"
#include "json_records.hpp"

using namespace vt;
using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

const std::string P = "velmora/tv", kAt = "127.0.0.1:18830", kCmd = P + "/command";

struct Mqtt : ::testing::Test {
    void SetUp() override
    {
        if (!Broker::installed())
            GTEST_SKIP() << "no mosquitto broker or mosquitto_pub (apt-get install mosquitto "
                            "mosquitto-clients)";
        reset_database();
        d.args({"--config", env.write_config("[server]\nname = living room\n[mqtt]\nhost = "
                                             "127.0.0.1\nport = 18830\nprefix = " +
                                             P + "\n")});
    }
    TestEnv env;
    Broker broker{env.dir()};
    Daemon d{env};
};

// Every config and its device against the keys Home Assistant documents; one
// device and the availability for all; what the controls send is a record.
void check_discovery(const std::map<std::string, std::string>& r, size_t users)
{
    json schema = json::parse(std::ifstream(VELMORA_SOURCE_DIR "/tests/data/ha-discovery.json"));
    auto keys = [&](const json& c, const json& s, const std::string& where) {
        for (const auto& [k, v] : c.items())
            EXPECT_TRUE(std::count(s["keys"].begin(), s["keys"].end(), k)) << where << ": " << k;
        for (const auto& k : s["required"])
            EXPECT_TRUE(c.contains(k)) << where << ": " << k;
    };
    std::map<std::string, size_t> kinds;
    std::set<json> ids, devices;
    for (auto at = r.lower_bound("homeassistant/"); at != r.end() && at->first[0] == 'h'; ++at) {
        const std::string kind = at->first.substr(14, at->first.find('/', 14) - 14);
        const json c = json::parse(at->second);
        ++kinds[kind], ids.insert(c["unique_id"]), devices.insert(c["device"]);
        keys(c, schema[kind], at->first);
        keys(c["device"], schema["device"], at->first);
        EXPECT_EQ(c["availability_topic"], P + "/status");
        EXPECT_EQ(kind == "binary_sensor", c.value("device_class", "") == "presence");
        std::string sent = c.value("payload_press", c.value("command_template", "{}"));
        if (size_t v = sent.find("{{ value | to_json }}"); v != std::string::npos)
            sent.replace(v, 21, "\"it's \\\"ct1\\\"\"");
        EXPECT_EQ(recordsFromJson(sent).error, "") << at->first;
    }
    EXPECT_EQ(json(kinds).dump(), R"({"binary_sensor":)" + std::to_string(users) +
                                      R"(,"button":4,"notify":1,"select":1,"sensor":2})");
    EXPECT_EQ(ids.size() + devices.size(), users + 9);
}

} // namespace

// Joins, a user gone from the household, a leave and the shutdown, as the
// retained topics and the discovery configs show them.
TEST_F(Mqtt, RetainedStateThroughAnEvening)
{
    broker.start();
    d.start();
    d.send_and_wait(message(user_xml("anna", "join") + user_xml("peter", "join")));
    auto r = broker.retained(P + "/viewing", R"({"channel":"ct2","user":"peter"})");
    EXPECT_EQ(r[P + "/status"] + r[P + "/user/anna"] + r[P + "/user/eva"], "onlineonlineoffline");
    EXPECT_EQ(r[P + "/online"] + r[P + "/user/peter"], R"(["anna","peter"]online)");
    const json select = json::parse(r["homeassistant/select/velmora_velmora_tv/channel/config"]);
    EXPECT_EQ(select["options"], json({"ct1", "ct2", "ct3", "nova", "prima", "joj"}));
    // What plays, as one of the options; nothing yet: no P/playing, None.
    EXPECT_EQ(select["state_topic"].get<std::string>() + r[P + "/playing"], P + "/playing");
    EXPECT_EQ(select["device"]["name"], "Velmora living room");
    EXPECT_EQ(r[P + "/user/anna/attributes"] + r[P + "/user/eva/attributes"],
              R"({"television":"living room"}{"television":null})");
    check_discovery(r, 4);

    db_exec("DELETE FROM users WHERE name = 'tom'");
    d.send_and_wait(message(user_xml("anna", "leave")));
    r = broker.retained(P + "/playing", "ct2");
    EXPECT_EQ(r.count(P + "/user/tom"), 0u);
    EXPECT_EQ(r[P + "/online"] + r[P + "/user/anna"], R"(["peter"]offline)");
    check_discovery(r, 3);

    d.sigint();
    EXPECT_EQ(d.wait_exit(), 0);
    r = broker.retained();
    EXPECT_EQ(r[P + "/status"] + r[P + "/user/peter"] + r[P + "/online"], "offlineoffline[]");
    EXPECT_EQ(r.count(P + "/playing"), 0u); // "" once the screen is restored
    EXPECT_TRUE(d.wait_stderr("[mqtt] disconnected from " + kAt + "\n", 0));
    EXPECT_FALSE(d.wait_stderr("[mqtt] connected to ", 0, 2));
}

// The shutdown's update refused (no state 'offline'): the broker hears so.
TEST_F(Mqtt, ShutdownTellsWhatTheDatabaseAgreed)
{
    broker.start();
    d.start();
    d.send_and_wait(message(user_xml("anna", "join")));
    db_exec("UPDATE states SET state = 'away' WHERE state = 'offline'");
    d.sigint();
    EXPECT_EQ(d.wait_exit(), 0);
    EXPECT_TRUE(d.wait_stderr("[server] db_set_all_offline() returned -1 (0 - succesful)\n", 0));
    EXPECT_EQ(broker.retained(P + "/status", "offline")[P + "/user/anna"], "online");
}

// Commands: a channel change, several records at once, a user whose name is
// no plain topic level; hostile payloads get one line each and nothing else,
// a retained command does not run at the start.
TEST_F(Mqtt, CommandsIn)
{
    db_exec("INSERT INTO users VALUES (5, 'a/b+#%'); INSERT INTO userHasState VALUES (5, 2); "
            "INSERT INTO userHasLast VALUES (5, NULL)");
    broker.start();
    broker.publish(kCmd, R"({"command": "change", "presence": "ct1"})", true);
    d.start();
    ASSERT_TRUE(d.wait_stderr("[mqtt] ignored a retained message on " + kCmd + "\n"));
    broker.publish(kCmd, R"({"name": "x", "command": "change", "presence": "ct3"})");
    ASSERT_TRUE(env.wait_invocations_of("mplayer", 1));
    EXPECT_EQ(env.invocations_of("mplayer")[0].argv.back(), "dvb://ct3");
    EXPECT_EQ(broker.retained(P + "/playing", "ct3")[P + "/playing"], "ct3"); // the select's state
    const std::string several =
        R"([{"name": "a/b+#%", "command": "join"}, {"name": "x", "probability": 77}])";
    broker.publish(kCmd, several);
    EXPECT_EQ(broker.retained(P + "/user/a%2Fb%2B%23%25", "online")[P + "/user/a%2Fb%2B%23%25"],
              "online");
    EXPECT_TRUE(d.wait_stderr("[RCV mqtt " + kCmd + "] " + several + "\n", 0));
    EXPECT_TRUE(d.wait_stderr("[server] user: x, prob: 77\n"));

    const std::pair<std::string, std::string> hostile[] = {
        {std::string("{\"name\": \"a\0b\"}", 14), "not JSON"},
        {R"({"name": "a\u0000b", "command": "join"})", "'name' holds a control character"},
        {R"({"name": ["anna"]})", "'name' must be a text or null"},
        {"[" + std::string(1 << 20, ' ') + "]", "longer than 4096 bytes"},
    };
    for (const auto& [payload, reason] : hostile) {
        broker.publish(kCmd, payload);
        EXPECT_TRUE(d.wait_stderr("[mqtt] refused a message on " + kCmd + ": " + reason + "\n"));
    }
    // A flood: the first line at once (as above), then at most a line a second with a count.
    const auto t0 = Clock::now();
    std::string flood;
    for (int i = 0; i < 300; ++i)
        flood += "{\"x\": 1}\n";
    broker.publish(kCmd, flood, false, true);
    const Counted c =
        d.refusals("[mqtt] refused a message on " + kCmd + ": unknown field 'x'", 300);
    EXPECT_EQ(c.refusals, 300u);
    EXPECT_LE(c.lines, 2 + (Clock::now() - t0) / std::chrono::seconds(1));
    broker.publish(kCmd, R"({"command": "last"})");
    ASSERT_TRUE(d.wait_stdout("[memory] currentUser: ", 15000, 3));
    EXPECT_FALSE(d.wait_stderr("[RCV mqtt ", 0, 4)); // the change, the records, "last"
    EXPECT_EQ(env.invocations_of("mplayer").size(), 1u);
    d.send("<m>"); // a malformed message ends the daemon: the broker tells its will
    EXPECT_EQ(d.wait_exit(), 255);
    EXPECT_EQ(broker.retained(P + "/status", "offline")[P + "/status"], "offline");
}

// No broker at the start, one that stops and starts again, one that freezes:
// the television is served all along, one line per change of state, and the
// whole state is on the broker again within 5 s of its return.
TEST_F(Mqtt, BrokerOutages)
{
    auto served = [&](const std::string& name, const char* command) {
        auto t0 = Clock::now();
        d.send_and_wait(message(user_xml(name, command)));
        // Held by a frozen broker, a message would wait for the keepalive
        // (5 s and more); bench-mqtt prints how long one takes.
        return Clock::now() - t0 < std::chrono::seconds(4);
    };
    auto back = [&](const std::string& who) {
        auto r = broker.retained(P + "/user/" + who, "online", 5000);
        return r[P + "/user/" + who] + broker.retained()[P + "/status"];
    };
    d.start();
    ASSERT_TRUE(
        d.wait_stderr("[mqtt] cannot reach " + kAt + " (Connection refused); trying again\n"));
    EXPECT_TRUE(served("anna", "join"));
    broker.start();
    EXPECT_EQ(back("anna"), "onlineonline");

    broker.signal(SIGTERM);
    ASSERT_TRUE(d.wait_stderr("[mqtt] connection to " + kAt +
                              " lost (closed by the broker); trying again\n"));
    EXPECT_TRUE(served("peter", "join"));
    broker.start();
    EXPECT_EQ(back("peter"), "onlineonline");

    // Until the keepalive shows the frozen broker; then a join it misses.
    broker.signal(SIGSTOP);
    for (auto end = Clock::now() + std::chrono::seconds(30);
         Clock::now() < end && !d.wait_stderr("lost (no answer within the keepalive)", 100);)
        EXPECT_TRUE(served("x", "next"));
    EXPECT_TRUE(served("eva", "join"));
    broker.signal(SIGCONT);
    EXPECT_EQ(back("eva"), "onlineonline");

    broker.signal(SIGSTOP);
    d.sigint();
    EXPECT_EQ(d.wait_exit(5000), 0); // bounded, although the broker cannot confirm
    broker.signal(SIGCONT);
    EXPECT_EQ(broker.retained(P + "/status", "offline")[P + "/status"], "offline");
    EXPECT_FALSE(d.wait_stderr("[mqtt] cannot reach", 0, 2) || d.wait_stderr("lost (", 0, 3));
}

// A CA file gone by the time the client sets up TLS (here during the start-up
// restore) keeps the broker unconnected, with a line: never a clear connection.
TEST_F(Mqtt, UnusableCaKeepsTheBrokerUnconnected)
{
    const std::string ca = env.dir() + "/ca.pem";
    std::ofstream(ca) << "a CA\n";
    write_script(env.bindir() + "/fbsetbg", "rm -f " + ca);
    d.args({"--config", env.write_config("[mqtt]\nhost = 127.0.0.1\nport = 18830\nprefix = " + P +
                                         "\ntls_ca = " + ca + "\n")});
    broker.start();
    d.start();
    EXPECT_TRUE(d.wait_stderr("[mqtt] cannot use " + ca + " for TLS (No such file or directory); " +
                              "not connecting to " + kAt + ", trying again in a minute\n"));
    d.send_and_wait(message(user_xml("anna", "join")));
    EXPECT_EQ(broker.retained(P + "/status", "online", 2000)[P + "/status"], "") << d.err();
}
