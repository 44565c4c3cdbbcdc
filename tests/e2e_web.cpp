// The web remote against the real daemon: the key, the Host and Origin
// checks, the headers, the interface, its bounds, and the page in Chromium.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <memory>
#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "web.hpp"

using namespace vt;
using nlohmann::json;

namespace {

const std::string kHostile = "<img src=x onerror=alert(1)>";

// A household user whose name is markup and whose picture names a file
// outside pictures/ (the schema holds neither: it is widened for the test).
void add_hostile_user()
{
    db_exec("ALTER TABLE users MODIFY name VARCHAR(40), DROP CONSTRAINT users_name_bytes");
    db_exec("INSERT INTO users (name) VALUES (" + sql_quote(kHostile) + ")");
    db_exec("INSERT INTO pictures (path) VALUES ('../web.key')");
    db_exec("INSERT INTO userHasState (idu, ids) SELECT id, 2 FROM users WHERE name = " +
            sql_quote(kHostile));
    db_exec("INSERT INTO userHasPicture (idu, idp) SELECT u.id, p.id FROM users u JOIN pictures "
            "p ON p.path = '../web.key' WHERE u.name = " +
            sql_quote(kHostile));
}

std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

} // namespace

TEST(Web, KeyHostAndOriginChecksOnEveryAnswer)
{
    reset_database();
    TestEnv env;
    const std::string config = web_config(env, "[server]\nworkdir = " + env.workdir() + "\n");
    Ran pair = run({VELMORA_SERVER_BIN, "--pair", "--config", config});
    const std::string key = web_key(env);
    struct stat st {};
    ASSERT_EQ(stat((env.workdir() + "/web.key").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(key.size(), 32u);
    EXPECT_EQ(pair.status, 0);
    EXPECT_NE(pair.out.find("http://tv.home:8003/pair?key=" + key + "\n"), std::string::npos);
    EXPECT_NE(pair.out.find("\u2584"), std::string::npos) << pair.out;

    Daemon d(env);
    d.args({"--config", config});
    d.start();
    const std::string bearer = "Authorization: Bearer " + key;
    const std::string join = R"({"name":"anna","command":"join"})";
    struct Case {
        const char* method;
        std::string path;
        std::vector<std::string> headers;
        long status;
    } cases[] = {
        {"GET", "/api/state", {}, 401},
        {"GET", "/api/state", {"Authorization: Bearer " + std::string(32, '0')}, 401},
        {"GET", "/api/state", {"Cookie: velmora_key=" + key.substr(0, 31)}, 401},
        {"GET", "/api/state", {"Cookie: velmora_key=" + key}, 200},
        {"GET", "/api/state", {bearer, "Host: tv.home:8003"}, 200},
        {"GET", "/api/state", {bearer, "Host: [::1]:8003"}, 200},
        {"GET", "/api/state", {bearer, "Host: attacker.example:8003"}, 421},
        {"GET", "/", {"Host: attacker.example"}, 421},
        {"POST", "/api/command", {bearer, "Origin: http://attacker.example"}, 403},
        {"POST", "/api/command", {bearer, "Origin: null"}, 403},
        {"POST", "/api/command", {}, 401},
        {"GET", "/pair?key=" + key.substr(1), {}, 401},
        {"GET", "/", {}, 200},
    };
    for (const Case& c : cases) {
        HttpReply r = http(c.method, c.path, c.headers, join);
        SCOPED_TRACE(std::string(c.method) + " " + c.path + " " +
                     (c.headers.empty() ? "" : c.headers.back()));
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.headers["content-security-policy"], "default-src 'self'");
        EXPECT_EQ(r.headers["x-content-type-options"], "nosniff");
        EXPECT_EQ(r.headers.count("access-control-allow-origin"), 0u);
    }
    HttpReply paired = http("GET", "/pair?key=" + key);
    EXPECT_EQ(paired.status, 303);
    EXPECT_EQ(paired.headers["location"], "/");
    EXPECT_EQ(paired.headers["set-cookie"].rfind("velmora_key=" + key + "; Path=/;", 0), 0u);
    EXPECT_NE(paired.headers["set-cookie"].find("; HttpOnly; SameSite=Strict"), std::string::npos);
    // Nothing refused reached the serving loop.
    d.send_and_wait(message(user_xml("x", "last")));
    EXPECT_EQ(d.err().find("[RCV web"), std::string::npos) << d.err();
    EXPECT_EQ(user_state("anna"), "offline");
}

TEST(Web, CommandsReachTheLoopAndTheStateReachesEveryStream)
{
    reset_database();
    add_hostile_user();
    TestEnv env;
    std::ofstream(env.workdir() + "/pictures/anna.jpg") << "anna's face";
    Daemon d(env);
    d.args({"--config", web_config(env)});
    d.start();
    const std::string bearer = "Authorization: Bearer " + web_key(env);
    EventStream events(web_key(env));
    EXPECT_NE(events.head().find("Content-Type: text/event-stream"), std::string::npos);
    EXPECT_EQ(json::parse(events.next())["online"], json::array());

    HttpReply r = http("POST", "/api/command", {bearer, "Origin: http://127.0.0.1:8003"},
                       R"([{"name":"anna","command":"join"},{"command":"next"}])");
    EXPECT_EQ(r.status, 202);
    EXPECT_EQ(r.body, R"({"queued":2})");
    json now = json::parse(events.next());
    EXPECT_EQ(now["online"], json::array({"anna"}));
    EXPECT_EQ(now["viewing"], json({{"user", "anna"}, {"channel", "ct1"}}));
    EXPECT_TRUE(d.wait_stderr("[RCV web 127.0.0.1] [{\"name\":\"anna\",\"command\":\"join\"}"));
    EXPECT_EQ(user_state("anna"), "online");
    EXPECT_EQ(http("GET", "/api/screen.jpg", {bearer}).body, slurp(env.workdir() + "/out.jpg"));
    // Each change reaches the stream at once, not with the next one.
    for (std::string command : {"leave", "join", "leave", "join"}) {
        d.send(message(user_xml("anna", command)));
        EXPECT_EQ(json::parse(events.next())["online"].size(), command == "join" ? 1u : 0u);
    }

    r = http("POST", "/api/command", {bearer}, R"({"name":"anna","command":"leave","x":1})");
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(r.body, R"({"error":"unknown field 'x'"})");
    json state = json::parse(http("GET", "/api/state", {bearer}).body);
    EXPECT_EQ(state["users"].back(),
              json({{"name", kHostile}, {"state", "offline"}, {"picture", "../web.key"}}));
    EXPECT_EQ(state["channels"].size(), 6u);
    EXPECT_EQ(http("GET", "/api/picture/anna", {bearer}).body, "anna's face");
    EXPECT_EQ(http("GET", "/api/picture/%3Cimg%20src=x%20onerror=alert(1)%3E", {bearer}).body,
              slurp(env.workdir() + "/pictures/black.jpg"));
    EXPECT_EQ(http("GET", "/api/picture/nobody", {bearer}).status, 404);
    d.send_and_wait(message(user_xml("x", "last")));
    EXPECT_EQ(user_state("anna"), "online");
}

TEST(Web, BoundsHoldAndNoClientDelaysTheTelevision)
{
    reset_database();
    TestEnv env;
    Daemon d(env);
    d.args({"--config", web_config(env)});
    d.start();
    const std::string bearer = "Authorization: Bearer " + web_key(env);
    const std::string head = R"({"command":"notify","presence":")";
    std::string body = head + std::string(4096 - head.size() - 2, 'x') + "\"}";
    EXPECT_EQ(http("POST", "/api/command", {bearer}, body).status, 202);
    EXPECT_EQ(http("POST", "/api/command", {bearer}, body + " ").status, 413);
    EXPECT_EQ(
        http("POST", "/api/command", {bearer, "Transfer-Encoding: chunked"}, body + " ").status,
        413);

    std::vector<std::unique_ptr<EventStream>> streams;
    for (int i = 0; i < 32; ++i) {
        streams.push_back(std::make_unique<EventStream>(web_key(env)));
        ASSERT_EQ(streams.back()->head().rfind("HTTP/1.1 200", 0), 0u) << i;
    }
    EXPECT_EQ(EventStream(web_key(env)).head().rfind("HTTP/1.1 503", 0), 0u);

    // With 32 streams that nobody reads and a client that stalls in its
    // request, the television's messages are served at once.
    const int stalled = web_connect("GET /api/state HTTP/1.1\r\nHo");
    std::vector<double> ms;
    for (int i = 0; i < 20; ++i) {
        auto t0 = std::chrono::steady_clock::now();
        d.send_and_wait(message(user_xml("anna", i % 2 ? "leave" : "join")));
        ms.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                .count());
    }
    std::sort(ms.begin(), ms.end());
    EXPECT_LT(ms[ms.size() / 2], 50.0);
    close(stalled);
}

TEST(Web, TakenPortEndsTheStartBeforeTheTelevision)
{
    reset_database();
    TestEnv env;
    const int taken = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), one = 1;
    setsockopt(taken, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one); // past TIME_WAIT
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(kWebPort);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(taken, 1), 0);
    Daemon d(env);
    d.args({"--config", web_config(env)});
    d.spawn();
    EXPECT_EQ(d.wait_exit(), 255);
    EXPECT_EQ(d.err(), "web: bind 127.0.0.1:8003: Address already in use\n");
    EXPECT_TRUE(env.invocations().empty());
    close(taken);
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
    d.args({"--config", web_config(env)});
    d.start();
    d.send_and_wait(message(user_xml("anna", "join")));
    d.send_and_wait(message(user_xml("peter", "join")));
    Ran b = run({"/usr/bin/python3", VELMORA_SOURCE_DIR "/tests/browser/remote.py",
                 "http://127.0.0.1:8003", web_key(env), "Dinner is ready", kHostile, env.dir()});
    ASSERT_EQ(b.status, 0) << b.out << b.err;
    ASSERT_EQ(b.out.rfind("channel ", 0), 0u) << b.out;
    const std::string channel = b.out.substr(8, b.out.find('\n') - 8);
    EXPECT_EQ(env.invocations_of("mplayer").back().argv.back(), "dvb://" + channel);
    EXPECT_EQ(env.invocations_of("notify-send").back().argv,
              (std::vector<std::string>{"notify-send", "xml notify", "Dinner is ready"}));
}
