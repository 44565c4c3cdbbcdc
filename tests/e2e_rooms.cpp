// Two televisions on one household database, the living room on 5003 and the
// kitchen on 5013: each shows its own room, a user who moves leaves her old
// room behind, a television that goes away releases its people, and every
// view is the household's whoever changed it.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <thread>

#include "broker.hpp"
#include "harness.hpp"
#include "web.hpp"

using namespace vt;

namespace {

struct Rooms : ::testing::Test {
    void SetUp() override { reset_database(); }

    // A television named `name` with `more` settings, started.
    std::unique_ptr<Daemon> tv(TestEnv& env, const std::string& name, const std::string& more = "",
                               std::vector<std::string> extra_env = {})
    {
        const bool kitchen = name == "kitchen";
        auto d = std::make_unique<Daemon>(env, std::move(extra_env));
        d->port(kitchen ? 5013 : 5003);
        d->args({"--config", env.write_config("[server]\nname = " + name + "\nlisten = 0.0.0.0:" +
                                              (kitchen ? "5013" : "5003") + "\n" + more)});
        d->start();
        return d;
    }
    // The users caption of the television's last welcome.
    static std::string welcome(const TestEnv& env)
    {
        auto runs = env.invocations_of("convert");
        return runs.empty() ? "<none>" : runs.back().argv.at(17);
    }

    TestEnv living_env, kitchen_env;
};

} // namespace

// Each television's welcome, channel steps and leave choices are its own
// room's; "list" stays the household's. A join elsewhere moves a user, and
// the room she left follows without a message of its own.
TEST_F(Rooms, EachTelevisionShowsItsOwnRoomAndAMoveIsFollowed)
{
    auto living = tv(living_env, "living room"), kitchen = tv(kitchen_env, "kitchen");
    living->send_and_wait(message(user_xml("anna", "join")));
    kitchen->send_and_wait(message(user_xml("peter", "join")));
    ASSERT_TRUE(kitchen_env.wait_invocations_of("convert", 1));
    EXPECT_EQ(welcome(kitchen_env), "PRESENT KNOWN USERS:\\n1. peter\\n");
    EXPECT_EQ(kitchen_env.invocations_of("convert").back().argv.at(20), "CHANNELS:\\n1. ct2\\n2. ct3\\n");
    kitchen->send_and_wait(message(user_xml("x", "next") + user_xml("x", "l:0 r:9")));
    EXPECT_TRUE(kitchen->wait_stderr("[cmd_fingers] fingers: l:0 r:9 sum:9 channel:ct2,ct3\n"));
    EXPECT_EQ(kitchen->last_view(), "[memory] currentChannel: 'ct3'\n[memory] currentUser: 'peter'\n");
    kitchen->send_and_wait(message(user_xml("x", "list", "online")));
    EXPECT_TRUE(kitchen->wait_stderr("[cmd_list] online users: anna,peter\n"));

    // anna recognised in the kitchen: a join there, her place with it.
    kitchen->send_and_wait(message(user_xml("anna", "", "", "90")));
    EXPECT_TRUE(kitchen->wait_stderr("[cmd_join] anna is now online.\n"));
    ASSERT_TRUE(kitchen_env.wait_invocations_of("convert", 2));
    EXPECT_EQ(welcome(kitchen_env), "PRESENT KNOWN USERS:\\n1. anna\\n2. peter\\n");
    EXPECT_EQ(db_rows("SELECT place FROM userHasState WHERE idu = 1")[0][0], "kitchen");
    // The living room, empty now, goes black with nothing current.
    EXPECT_TRUE(living->wait_stderr("[rooms] living room's room changed: online here '' (was "
                                    "'anna')\n",
                                    10000))
        << living->err();
    EXPECT_TRUE(living_env.wait_invocations_of("fbsetbg", 3)); // start, welcome, black
    EXPECT_EQ(living_env.invocations_of("fbsetbg").back().argv.at(1), "black.jpg");
    living->send_and_wait(message(user_xml("x", "last")));
    EXPECT_EQ(living->last_view(), "[memory] currentChannel: ''\n[memory] currentUser: ''\n");

    // peter leaves in the kitchen: the kitchen's choice is anna, its room's.
    kitchen->send_and_wait(message(user_xml("peter", "leave")));
    EXPECT_EQ(kitchen->last_view(), "[memory] currentChannel: 'ct2'\n[memory] currentUser: 'anna'\n");
}

// A television that goes silent has its users set offline by the other
// after its away_after, not before; started after that, it does the plain
// start. A crash loop resumes quietly and in its own room.
TEST_F(Rooms, AwayTelevisionsReleaseTheirPeopleAndCrashLoopsStayQuiet)
{
    auto living = tv(living_env, "living room", "away_after = 10\n");
    auto kitchen = tv(kitchen_env, "kitchen", "away_after = 10\n");
    living->send_and_wait(message(user_xml("anna", "join")));
    kitchen->send_and_wait(message(user_xml("peter", "join") + user_xml("x", "next")));
    ASSERT_TRUE(kitchen_env.wait_invocations_of("mplayer", 1));
    const size_t notes = kitchen_env.invocations_of("notify-send").size();

    // Crashes: the kitchen resumes peter's channel, without "Changing channel".
    for (int i = 0; i < 2; ++i) {
        kitchen->send("<m>");
        EXPECT_EQ(kitchen->wait_exit(), 255);
        kitchen = tv(kitchen_env, "kitchen", "away_after = 10\n");
        EXPECT_TRUE(kitchen->wait_stderr("[resume] kitchen ended without the shutdown: online peter;"));
    }
    EXPECT_TRUE(kitchen_env.wait_invocations_of("mplayer", 3));
    EXPECT_EQ(kitchen_env.invocations_of("notify-send").size(), notes);
    // peter went while the kitchen was down: its resume keeps to its room.
    kill(kitchen->pid(), SIGKILL);
    kitchen->wait_exit();
    db_exec("UPDATE userHasState SET ids = 2 WHERE idu = 2");
    kitchen = tv(kitchen_env, "kitchen", "away_after = 10\n");
    EXPECT_TRUE(kitchen->wait_stderr("[resume] kitchen ended without the shutdown: nobody is "
                                     "online; the screen stays black\n"));

    // Silent: released after 10 s by the living room, not before.
    kitchen->send_and_wait(message(user_xml("eva", "join")));
    kill(kitchen->pid(), SIGKILL);
    kitchen->wait_exit();
    EXPECT_EQ(user_state("eva"), "online");
    ASSERT_TRUE(living->wait_stderr("[rooms] kitchen silent for ", 30000)) << living->err();
    const std::string err = living->err(), line = err.substr(err.find("[rooms] kitchen silent"));
    const long silent = std::stol(line.substr(std::strlen("[rooms] kitchen silent for ")));
    EXPECT_GE(silent, 10) << line;
    EXPECT_LE(silent, 20) << line;
    EXPECT_EQ(line.substr(line.find(" s ")), " s (away_after 10): eva set offline\n");
    EXPECT_EQ(user_state("eva") + user_state("anna"), "offlineonline");
    // Back after that: the plain start, whatever its state file says.
    const size_t renders = kitchen_env.invocations_of("convert").size();
    kitchen = tv(kitchen_env, "kitchen", "away_after = 10\n");
    EXPECT_TRUE(kitchen->wait_stderr("[rooms] kitchen was away for "));
    EXPECT_TRUE(kitchen->wait_stderr(" (away_after 10): the plain start; nobody was online here\n"));
    EXPECT_EQ(kitchen->err().find("[resume]"), std::string::npos);
    EXPECT_EQ(kitchen_env.invocations_of("convert").size(), renders);
}

// Every television's page and topics show what the database says, whoever
// changed it; a television retired has its people offline, its sign of life
// gone and every retained topic it published cleared.
TEST_F(Rooms, ViewsAreTheHouseholdsAndRetiringClearsATelevision)
{
    if (!Broker::installed())
        GTEST_SKIP() << "no mosquitto broker";
    Broker broker{living_env.dir()};
    broker.start();
    const std::string mqtt = "[mqtt]\nhost = 127.0.0.1\nport = 18830\nprefix = velmora/";
    auto living = tv(living_env, "living room",
                     mqtt + "living\n[web]\nlisten = 127.0.0.1:8003\nkey_file = " +
                         living_env.dir() + "/web.key\n");
    auto kitchen = tv(kitchen_env, "kitchen", mqtt + "kitchen\n");
    kitchen->send_and_wait(message(user_xml("peter", "join")));
    EXPECT_EQ(broker.retained("velmora/living/user/peter", "online").count("velmora/living/user/peter"),
              1u);
    EXPECT_EQ(broker.retained("velmora/living/user/peter/attributes",
                              R"({"television":"kitchen"})")["velmora/living/user/peter/attributes"],
              R"({"television":"kitchen"})");
    const std::string key = "Authorization: Bearer " + run({"cat", living_env.dir() + "/web.key"}).out.substr(0, 32);
    EXPECT_NE(http("GET", "/api/state", {key}).body.find(
                  R"({"name":"peter","picture":"peter.jpg","place":"kitchen","state":"online"})"),
              std::string::npos);

    kill(kitchen->pid(), SIGKILL);
    kitchen->wait_exit();
    const std::string conf = living_env.dir() + "/velmora.conf";
    Ran r = run({VELMORA_SERVER_BIN, "--config", conf, "--retire", "kitchen"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.substr(0, r.out.find(", ", r.out.find("removed"))),
              "velmora-server: retired kitchen: peter set offline, its sign of life removed");
    EXPECT_NE(r.out.find(" retained topics of it cleared on MQTT\n"), std::string::npos) << r.out;
    EXPECT_EQ(user_state("peter"), "offline");
    EXPECT_EQ(db_rows("SELECT COUNT(*) FROM televisions WHERE name = 'kitchen'")[0][0], "0");
    for (const auto& [topic, payload] : broker.retained("velmora/living/user/peter", "offline"))
        EXPECT_EQ(topic.find("kitchen"), std::string::npos) << topic << " " << payload;
    Ran again = run({VELMORA_SERVER_BIN, "--config", conf, "--retire", "attic"});
    EXPECT_EQ(again.status, 2);
    EXPECT_EQ(again.err, "velmora-server: --retire: no television named 'attic' was ever seen in "
                         "the household's database\n");
}

// A television started while the database is down shows the household on
// its page within a tick of the database answering.
TEST_F(Rooms, AStartWithoutTheDatabaseFollowsItsReturn)
{
    const std::string dbctl = VELMORA_SOURCE_DIR "/scripts/dbctl", dir = living_env.dir() + "/db";
    auto living = tv(living_env, "living room",
                     "[web]\nlisten = 127.0.0.1:8003\nkey_file = " + living_env.dir() + "/web.key\n",
                     {"MYSQL_UNIX_PORT=" + dir + "/mysqld.sock"});
    const std::string key =
        "Authorization: Bearer " + run({"cat", living_env.dir() + "/web.key"}).out.substr(0, 32);
    EXPECT_NE(http("GET", "/api/state", {key}).body.find(R"("users":[])"), std::string::npos);
    Ran up = run({dbctl, "start", dir}, "", {"VELMORA_DB_TCP_PORT="}, 120000);
    struct Down {
        std::string dbctl, dir;
        ~Down() { run({dbctl, "destroy", dir}); }
    } down{dbctl, dir};
    ASSERT_EQ(up.status, 0) << up.err;
    std::string state;
    for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
         std::chrono::steady_clock::now() < until &&
         (state = http("GET", "/api/state", {key}).body).find(R"("name":"tom")") == std::string::npos;)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_NE(state.find(R"("name":"tom")"), std::string::npos) << state << living->err();
    EXPECT_TRUE(living->wait_stderr("[rooms] the database answers again\n"));
}
