// The web remote against the real daemon: the key, the Host and Origin
// checks, the headers, the interface, its bounds, and the page in Chromium.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sys/socket.h>
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
        {"GET", "/api/state", {bearer, "Host: KITCHEN.home:8003"}, 200}, // "Kitchen.Home"
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
    // A name out of pictures/ and a link (out or in) give black.jpg.
    const std::string black = run({"cat", env.workdir() + "/pictures/black.jpg"}).out;
    run({"sh", "-c",
         "cd '" + env.workdir() + "/pictures' && ln -sf ../web.key eva.jpg && " +
             "ln -sf anna.jpg peter.jpg"});
    for (const char* user : {"%3Cimg%20src=x%20onerror=alert(1)%3E", "eva", "peter"})
        EXPECT_EQ(http("GET", std::string("/api/picture/") + user, {bearer}).body, black) << user;
    d.send_and_wait(message(user_xml("x", "last")));
    EXPECT_EQ(user_state("anna"), "online");

    // Bounds: 4 KiB of body, 32 streams.
    const std::string body = R"({"command":"notify","presence":")" + std::string(4062, 'x') + "\"}";
    EXPECT_EQ(http("POST", "/api/command", {bearer}, body).status, 202);
    for (const char* h : {"X-Any: 1", "Transfer-Encoding: chunked"})
        EXPECT_EQ(http("POST", "/api/command", {bearer, h}, body + " ").status, 413) << h;

    // Two other hosts hold the other 31 (a host holds 16 connections at most).
    std::vector<int> streams{events};
    for (int i = 1; i < 32; ++i) {
        streams.push_back(events_open(web_key(env), i <= 16 ? "127.0.0.2" : "127.0.0.3"));
        ASSERT_NE(next_event(streams.back()), "") << i;
    }
    EXPECT_EQ(http("GET", "/api/events", {bearer}).status, 503);
    // A stream whose client has gone gives its place back within a second or two.
    close(streams.back());
    bool back = false;
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
         !back && std::chrono::steady_clock::now() < end; usleep(100000)) {
        streams.back() = events_open(web_key(env));
        if (!(back = !next_event(streams.back()).empty()))
            close(streams.back());
    }
    EXPECT_TRUE(back);

    // 32 streams that nobody reads and a stalled request hold no TCP message:
    // one held would wait for the stalled request's 10 s deadline. Nothing tighter,
    // for a busy machine; scripts/bench-web prints how long one takes.
    const int stalled = web_connect("GET /api/state HTTP/1.1\r\nHo");
    for (int i = 0; i < 20; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        d.send_and_wait(message(user_xml("anna", i % 2 ? "leave" : "join")));
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5)) << i;
    }
    for (int fd : streams)
        close(fd);
    close(stalled);
}

// One host holding all the connections it may, each trickling a byte a second:
// its others are refused at once, the household is answered, and each trickler
// is closed after the 10 s request deadline, with one line and then a count.
TEST(Web, OneTricklingHostLeavesThePageToTheHousehold)
{
    reset_database();
    TestEnv env;
    Daemon d(env);
    d.args({"--config", web_config(env)});
    d.start();
    std::vector<int> slow;
    for (int i = 0; i < 24; ++i)
        slow.push_back(web_connect("GET /api/state HTTP/1.1\r\nX-Slow: ", "127.0.0.2"));
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(http("GET", "/api/state", {"Authorization: Bearer " + web_key(env)}).status, 200);
    auto open = [&] {
        char c;
        return std::count_if(slow.begin(), slow.end(), [&](int fd) {
            return recv(fd, &c, 1, MSG_DONTWAIT) < 0 && errno == EAGAIN;
        });
    };
    EXPECT_EQ(open(), 16);
    for (int s = 0; open() > 0 && s < 25; ++s, sleep(1))
        for (int fd : slow)
            send(fd, "x", 1, MSG_NOSIGNAL);
    EXPECT_EQ(open(), 0); // within the deadline's 10 s, not the idle bound's 30
    std::for_each(slow.begin(), slow.end(), close);
    const Counted c = d.refusals("[web] 127.0.0.2 sent no whole request within 10 s; closed", 16);
    EXPECT_EQ(c.refusals, 16u) << d.err();
    EXPECT_LE(c.lines, 3u) << d.err();
}

// Key files that cannot be used: one line naming the file and the problem,
// status 2 from the daemon and from --pair, the television untouched; two
// makers at once end with one key.
TEST(Web, KeyFilesCheckedForWhatTheyAre)
{
    TestEnv env;
    const std::string config = web_config(env, "[server]\nworkdir = " + env.workdir() + "\n");
    const std::string key = "printf '%032d\\n' 7 > web.key && ", uid = std::to_string(geteuid());
    const std::pair<std::string, std::string> cases[] = {
        {key + "mv web.key k && ln -s k web.key", "a symbolic link, not a file"},
        {"mkdir web.key", "not a regular file"},
        {"mkfifo web.key", "not a regular file"},
        {key + "chmod 640 web.key", "readable by group or others (chmod 600 it)"},
        {key + "chmod 604 web.key", "readable by group or others (chmod 600 it)"},
        {key + "chown 4242 web.key",
         "owned by uid 4242, not by the daemon's user (uid " + uid + ")"},
        {"echo short > web.key", "its first line is no key (16 to 128 letters, digits, '-', '_', "
                                 "'.' or '~')"},
    };
    for (const auto& [make, problem] : cases) {
        SCOPED_TRACE(make);
        if (run({"sh", "-c", "cd " + env.workdir() + " && rm -rf web.key && umask 077 && " + make})
                .status != 0)
            continue; // no chown without privileges
        Daemon daemon(env);
        daemon.args({"--config", config});
        daemon.spawn();
        EXPECT_EQ(daemon.wait_exit(), 2);
        EXPECT_EQ(daemon.err(), "velmora-server: " + env.workdir() + "/web.key: " + problem + "\n");
        Ran pair = run({VELMORA_SERVER_BIN, "--pair", "--config", config});
        EXPECT_EQ(pair.status, 2);
        EXPECT_EQ(pair.err, daemon.err());
    }
    EXPECT_TRUE(env.invocations().empty());
    const std::string twice =
        "cd $2 && for i in 1 2 3 4 5 6 7 8 9 10; do rm -rf web.key; $0 --pair "
        "--config $1 >1 & $0 --pair --config $1 >2; wait $!; cmp -s 1 2 && "
        "grep -q $(cat web.key) 1 || echo round $i: two keys; done";
    EXPECT_EQ(run({"sh", "-c", twice, VELMORA_SERVER_BIN, config, env.workdir()}).out, "");
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
