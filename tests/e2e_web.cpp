// The web remote against the real daemon: the key, the Host and Origin
// checks, the headers, the interface, its bounds, and the page in Chromium.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <tuple>
#include <unistd.h>

#include "web.hpp"

using namespace vt;
using nlohmann::json;

namespace {

const std::string kHostile = "<img src=x onerror=alert(1)>";
constexpr auto npos = std::string::npos;

// A user whose name is markup and whose picture is a file beside pictures/
// (the schema holds neither: it is widened for the test).
void add_hostile_user()
{
    db_exec("ALTER TABLE users MODIFY name VARCHAR(40), DROP CONSTRAINT users_name_bytes");
    db_exec("INSERT INTO users (name) VALUES (" + sql_quote(kHostile) + ")");
    db_exec("INSERT INTO pictures (path) VALUES ('../web.key')");
    db_exec("INSERT INTO userHasState (idu, ids) SELECT MAX(id), 2 FROM users");
    db_exec("INSERT INTO userHasPicture (idu, idp) SELECT MAX(users.id), MAX(pictures.id) FROM "
            "users, pictures");
}

} // namespace

TEST(Web, KeyHostAndOriginChecksOnEveryAnswer)
{
    reset_database();
    TestEnv env;
    const std::string config = web_config(env, "[server]\nworkdir = " + env.workdir() + "\n");
    Ran pair = run({VELMORA_SERVER_BIN, "--pair", "--config", config});
    const std::string key = web_key(env);
    EXPECT_EQ(run({"stat", "-c", "%a", env.workdir() + "/web.key"}).out, "600\n");
    EXPECT_EQ(key.size(), 32u);
    EXPECT_NE(pair.out.find("http://tv.home:8003/pair?key=" + key + "\n"), npos);
    EXPECT_NE(pair.out.find("\u2584"), npos) << pair.out;

    Daemon d(env);
    d.args({"--config", config});
    d.start();
    const std::string bearer = "Authorization: Bearer " + key;
    const std::tuple<const char*, std::string, std::vector<std::string>, int> cases[] = {
        {"GET", "/api/state", {}, 401},
        {"GET", "/api/state", {"Authorization: Bearer " + std::string(32, '0')}, 401},
        {"GET", "/api/state", {"Cookie: velmora_key=" + key.substr(0, 31)}, 401},
        {"GET", "/api/state", {"Cookie: velmora_key=" + key}, 200},
        {"GET", "/api/state", {bearer, "Host: tv.home:8003"}, 200},
        {"GET", "/api/state", {bearer, "Host: [::1]:8003"}, 200},
        {"GET", "/api/state", {bearer, "Host: attacker.example:8003"}, 421},
        {"POST", "/api/command", {bearer, "Origin: http://attacker.example"}, 403},
        {"POST", "/api/command", {}, 401},
        {"GET", "/pair?key=" + key.substr(1), {}, 401},
        {"GET", "/", {}, 200},
    };
    for (const auto& [method, path, headers, status] : cases) {
        HttpReply r = http(method, path, headers, R"({"name":"anna","command":"join"})");
        SCOPED_TRACE(path + " " + (headers.empty() ? "" : headers.back()));
        EXPECT_EQ(r.status, status);
        EXPECT_NE(r.head.find("\r\nContent-Security-Policy: default-src 'self'\r\n"), npos);
        EXPECT_NE(r.head.find("\r\nX-Content-Type-Options: nosniff\r\n"), npos);
        EXPECT_EQ(r.head.find("Access-Control"), npos);
    }
    HttpReply paired = http("GET", "/pair?key=" + key);
    EXPECT_EQ(paired.status, 303);
    EXPECT_NE(paired.head.find("\r\nLocation: /\r\n"), npos);
    EXPECT_NE(paired.head.find("\r\nSet-Cookie: velmora_key=" + key +
                               "; Path=/; Max-Age=34560000; HttpOnly; SameSite=Strict\r\n"),
              npos);
    // Nothing refused reached the serving loop.
    d.send_and_wait(message(user_xml("x", "last")));
    EXPECT_EQ(d.err().find("[RCV web"), npos) << d.err();

    // A second daemon on the same page's port ends its start before the television.
    const size_t ran = env.invocations().size();
    Daemon second(env);
    second.args({"--config", web_config(env, "[server]\nlisten = 127.0.0.1:5004\n")});
    second.spawn();
    EXPECT_EQ(second.wait_exit(), 255);
    EXPECT_EQ(second.err(), "web: bind 127.0.0.1:8003: Address already in use\n");
    EXPECT_EQ(env.invocations().size(), ran);
}

TEST(Web, CommandsStateStreamsAndTheirBounds)
{
    reset_database();
    add_hostile_user();
    TestEnv env;
    std::ofstream(env.workdir() + "/pictures/anna.jpg") << "anna's face";
    Daemon d(env);
    d.args({"--config", web_config(env)});
    d.start();
    const std::string bearer = "Authorization: Bearer " + web_key(env);
    const int events = events_open(web_key(env));
    EXPECT_EQ(json::parse(next_event(events))["online"], json::array());

    HttpReply r = http("POST", "/api/command", {bearer, "Origin: http://127.0.0.1:8003"},
                       R"([{"name":"anna","command":"join"},{"command":"next"}])");
    EXPECT_EQ(r.status, 202);
    EXPECT_EQ(r.body, R"({"queued":2})");
    json now = json::parse(next_event(events));
    EXPECT_EQ(now["online"], json::array({"anna"}));
    EXPECT_EQ(now["viewing"], json({{"user", "anna"}, {"channel", "ct1"}}));
    EXPECT_TRUE(d.wait_stderr("[RCV web 127.0.0.1] [{\"name\":\"anna\",\"command\":\"join\"}"));
    next_event(events); // the welcome's render has ended
    EXPECT_EQ(http("GET", "/api/screen.jpg", {bearer}).body, "standin image\n"); // out.jpg

    r = http("POST", "/api/command", {bearer}, R"({"name":"anna","command":"leave","x":1})");
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(r.body, R"({"error":"unknown field 'x'"})");
    json state = json::parse(http("GET", "/api/state", {bearer}).body);
    state["users"].back().erase("place");
    EXPECT_EQ(state["users"].back(),
              json({{"name", kHostile}, {"state", "offline"}, {"picture", "../web.key"}}));
    EXPECT_EQ(http("GET", "/api/picture/anna", {bearer}).body, "anna's face");
    EXPECT_EQ(http("GET", "/api/picture/%3Cimg%20src=x%20onerror=alert(1)%3E", {bearer}).body,
              run({"cat", env.workdir() + "/pictures/black.jpg"}).out);
    d.send_and_wait(message(user_xml("x", "last")));
    EXPECT_EQ(user_state("anna"), "online");

    // Bounds: 4 KiB of body, 32 streams.
    const std::string body = R"({"command":"notify","presence":")" + std::string(4062, 'x') + "\"}";
    EXPECT_EQ(http("POST", "/api/command", {bearer}, body).status, 202);
    for (const char* h : {"X-Any: 1", "Transfer-Encoding: chunked"})
        EXPECT_EQ(http("POST", "/api/command", {bearer, h}, body + " ").status, 413) << h;

    std::vector<int> streams{events};
    for (int i = 1; i < 32; ++i) {
        streams.push_back(events_open(web_key(env)));
        ASSERT_NE(next_event(streams.back()), "") << i;
    }
    EXPECT_EQ(http("GET", "/api/events", {bearer}).status, 503);

    // 32 streams that nobody reads and a stalled request delay no TCP message.
    const int stalled = web_connect("GET /api/state HTTP/1.1\r\nHo");
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 20; ++i)
        d.send_and_wait(message(user_xml("anna", i % 2 ? "leave" : "join")));
    const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - t0;
    // Held up, it would wait for the 30 s idle limit (a busy machine's: 100 ms).
    EXPECT_LT(took.count() / 20, 1000.0);
    for (int fd : streams)
        close(fd);
    close(stalled);
}

TEST(Web, RemoteInChromium)
{
    for (const char* program : {"/usr/bin/chromium", "/usr/bin/chromedriver"})
        if (access(program, X_OK) != 0)
            GTEST_SKIP() << program << " is missing (apt-get install chromium chromium-driver)";
    if (run({"/usr/bin/python3", "-c", "import selenium"}).status != 0)
        GTEST_SKIP() << "selenium is missing (apt-get install python3-selenium)";
    reset_database();
    add_hostile_user();
    TestEnv env;
    Daemon d(env);
    d.args({"--config", web_config(env, "[server]\nname = living room\n")});
    d.start();
    d.send_and_wait(message(user_xml("anna", "join")));
    d.send_and_wait(message(user_xml("peter", "join")));
    Ran b = run({"/usr/bin/python3", VELMORA_SOURCE_DIR "/tests/browser/remote.py",
                 "http://127.0.0.1:8003", web_key(env), "Dinner is ready", kHostile, env.dir(),
                 "living room"});
    ASSERT_EQ(b.status, 0) << b.out << b.err;
    const auto played = env.invocations_of("mplayer");
    EXPECT_EQ("channel " + played.at(0).argv.back().substr(6) + "\npicked " +
                  played.at(1).argv.back().substr(6) + "\n",
              b.out);
    EXPECT_EQ(env.invocations_of("notify-send").back().argv,
              (std::vector<std::string>{"notify-send", "xml notify", "Dinner is ready"}));
}
