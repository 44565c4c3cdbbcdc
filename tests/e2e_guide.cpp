// The programme-guide token exchange ("getepg", "trololo") of the real daemon
// against a fake guide server on loopback: POST on 8080, GET on 8081.
// Runs when the daemon is built with the default guide address 127.0.0.1.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "harness.hpp"

using namespace vt;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kPostLine = "Sending HTTP POST AT 127.0.0.1:8080 id=1&user=2&pin=4821&device=2";
const std::string kGetLinePrefix = "Sending HTTP GET AT http://127.0.0.1:8081/?token=";
const std::string kNoToken = "[http_post] no token received";

struct HttpRequest {
    std::string line, method, target, body;
    std::map<std::string, std::string> headers; // names in lower case
    std::string header(const std::string& name) const
    {
        auto it = headers.find(name);
        return it == headers.end() ? "" : it->second;
    }
};

bool readable(int fd, int ms)
{
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, ms) > 0;
}

// Listens on 127.0.0.1:port and takes one connection at a time, recording each
// request; Silent accepts and reads but never answers.
class FakeGuide {
public:
    enum class Mode { Answer, Silent };

    FakeGuide(int port, std::string body, Mode mode = Mode::Answer,
              const char* address = "127.0.0.1")
        : body_(std::move(body)), mode_(mode)
    {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one); // the last test's TIME_WAITs
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, address, &a.sin_addr);
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            listen(fd_, 4) != 0)
            throw std::runtime_error("fake guide cannot listen on " + std::to_string(port) + ": " +
                                     std::strerror(errno));
        thread_ = std::thread([this] { serve(); });
    }
    ~FakeGuide()
    {
        stop_ = true;
        thread_.join();
        close(fd_);
        for (int c : held_)
            close(c);
    }

    void set_body(std::string body)
    {
        std::lock_guard<std::mutex> lock(mu_);
        body_ = std::move(body);
    }
    std::vector<HttpRequest> requests() const
    {
        std::lock_guard<std::mutex> lock(mu_);
        return requests_;
    }

private:
    void serve()
    {
        while (!stop_) {
            if (!readable(fd_, 50))
                continue;
            int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0)
                continue;
            HttpRequest r;
            bool whole = read_request(c, r);
            std::string body;
            {
                std::lock_guard<std::mutex> lock(mu_);
                if (whole)
                    requests_.push_back(r);
                body = body_;
            }
            if (mode_ == Mode::Silent) {
                held_.push_back(c);
                continue;
            }
            std::string resp = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
                               std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
            for (size_t off = 0; off < resp.size();) {
                ssize_t n = send(c, resp.data() + off, resp.size() - off, MSG_NOSIGNAL);
                if (n <= 0)
                    break;
                off += static_cast<size_t>(n);
            }
            close(c);
        }
    }

    // A request may come in pieces: headers up to the blank line, then Content-Length bytes.
    bool read_request(int c, HttpRequest& r)
    {
        std::string data;
        auto deadline = Clock::now() + std::chrono::seconds(5);
        auto more = [&] {
            while (!stop_ && Clock::now() < deadline) {
                if (!readable(c, 50))
                    continue;
                char buf[4096];
                ssize_t n = recv(c, buf, sizeof buf, 0);
                if (n <= 0)
                    return false;
                data.append(buf, static_cast<size_t>(n));
                return true;
            }
            return false;
        };
        size_t end;
        while ((end = data.find("\r\n\r\n")) == std::string::npos)
            if (!more())
                return false;
        std::istringstream head(data.substr(0, end));
        std::getline(head, r.line);
        if (!r.line.empty() && r.line.back() == '\r')
            r.line.pop_back();
        std::istringstream(r.line) >> r.method >> r.target;
        for (std::string h; std::getline(head, h);) {
            if (!h.empty() && h.back() == '\r')
                h.pop_back();
            size_t colon = h.find(':');
            if (colon == std::string::npos)
                continue;
            std::string name = h.substr(0, colon);
            for (char& ch : name)
                ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
            r.headers[name] = h.substr(h.find_first_not_of(' ', colon + 1));
        }
        size_t length =
            r.headers.count("content-length") ? std::stoul(r.headers["content-length"]) : 0;
        while (data.size() < end + 4 + length)
            if (!more())
                return false;
        r.body = data.substr(end + 4, length);
        return true;
    }

    int fd_ = -1;
    std::string body_;
    Mode mode_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::vector<int> held_;
    mutable std::mutex mu_;
    std::vector<HttpRequest> requests_;
};

// 43 bytes before the token; the quotes in it lie before offset 43 and must not count.
const std::string kHead = std::string(19, ' ') + R"({"status":"ok","token":")";

// %xx and %XX are the same byte; compare them one way.
std::string upper_hex(std::string s)
{
    auto up = [](char ch) {
        return static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    };
    for (size_t i = 0; i + 2 < s.size(); ++i)
        if (s[i] == '%')
            s[i + 1] = up(s[i + 1]), s[i + 2] = up(s[i + 2]);
    return s;
}

bool has_line(const std::vector<std::string>& lines, const std::string& prefix)
{
    for (const auto& l : lines)
        if (l.rfind(prefix, 0) == 0)
            return true;
    return false;
}

::testing::AssertionResult in_order(const std::vector<std::string>& lines,
                                    const std::vector<std::string>& want)
{
    size_t at = 0;
    for (const auto& w : want) {
        while (at < lines.size() && lines[at] != w)
            ++at;
        if (at++ >= lines.size()) {
            auto r = ::testing::AssertionFailure()
                     << "missing or out of order: \"" << w << "\" in:\n";
            for (const auto& l : lines)
                r << "  " << l << "\n";
            return r;
        }
    }
    return ::testing::AssertionSuccess();
}

struct TokenCase {
    const char* what;
    std::string keyword, response, token, in_url; // token as logged, in_url as sent
};

class Guide : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (std::string(VELMORA_GUIDE_HOST) != "127.0.0.1")
            GTEST_SKIP() << "the daemon was built for the guide server at " VELMORA_GUIDE_HOST;
        reset_database();
        ASSERT_EQ(kHead.size(), 43u);
        d.start();
    }

    // Sends one guide command and returns the stderr lines it produced, once
    // `last` (the exchange's final line) has arrived.
    std::vector<std::string> exchange(const std::string& keyword, const std::string& last)
    {
        size_t base = d.err_lines().size();
        size_t seen = count(d.err(), last + "\n");
        d.send_and_wait(message(user_xml("anna", keyword)), 40000);
        EXPECT_TRUE(d.wait_stderr(last + "\n", 3000, seen + 1))
            << "no final line \"" << last << "\"";
        auto lines = d.err_lines();
        return {lines.begin() + static_cast<long>(std::min(base, lines.size())), lines.end()};
    }

    void expect_serves_next()
    {
        const std::string done = "[cmd_list] online is empty\n";
        size_t seen = count(d.err(), done);
        d.send_and_wait(message(user_xml("anna", "list", "online")));
        EXPECT_TRUE(d.wait_stderr(done, 3000, seen + 1));
    }

    std::string scratch() const
    {
        std::ifstream in(env.workdir() + "/f", std::ios::binary);
        std::ostringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    // Each case: one full exchange against running servers, then the next message.
    void expect_token_exchanges(const std::vector<TokenCase>& cases)
    {
        FakeGuide post(8080, ""), get(8081, "");
        for (size_t i = 0; i < cases.size(); ++i) {
            const TokenCase& c = cases[i];
            SCOPED_TRACE(c.what);
            const std::string get_body = "guide-data-" + std::to_string(i) + "\n\x1b]0;\xc2\x9b";
            post.set_body(c.response);
            get.set_body(get_body);
            const std::string get_line = upper_hex(kGetLinePrefix + c.in_url + "&users=2");
            auto lines = exchange(c.keyword, get_line);
            for (auto& l : lines)
                l = upper_hex(l); // only the GET line holds '%'
            EXPECT_TRUE(
                in_order(lines, {kPostLine, upper_hex("token received: " + c.token), get_line}));
            EXPECT_FALSE(has_line(lines, "FAIL"));
            EXPECT_FALSE(has_line(lines, kNoToken));

            auto posts = post.requests(), gets = get.requests();
            ASSERT_EQ(posts.size(), i + 1);
            ASSERT_EQ(gets.size(), i + 1);
            const HttpRequest& p = posts.back();
            EXPECT_EQ(p.line, "POST / HTTP/1.1");
            EXPECT_EQ(p.header("host"), "127.0.0.1:8080");
            EXPECT_EQ(p.header("content-type"), "application/x-www-form-urlencoded");
            EXPECT_EQ(p.body, "id=1&user=2&pin=4821&device=2");
            const HttpRequest& g = gets.back();
            EXPECT_EQ(upper_hex(g.line), "GET /?token=" + c.in_url + "&users=2 HTTP/1.1");
            EXPECT_EQ(g.header("host"), "127.0.0.1:8081");
            EXPECT_TRUE(g.body.empty());

            EXPECT_TRUE(
                d.wait_stdout("guide-data-" + std::to_string(i) + "\\x0a\\x1b]0;\\xc2\\x9b\n"))
                << "GET body not on stdout, escaped, as one line";
            EXPECT_EQ(scratch(), c.response);
            expect_serves_next();
        }
    }

    static size_t count(const std::string& text, const std::string& needle)
    {
        size_t n = 0;
        for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
            ++n;
        return n;
    }

    TestEnv env;
    Daemon d{env, {"no_proxy=*", "NO_PROXY=*"}}; // straight to loopback whatever the caller's proxy
};

} // namespace

TEST_F(Guide, ExchangesTokenEndedByFirstQuoteFromOffset44)
{
    expect_token_exchanges({
        {"7-byte token, quote at 50", "getepg", kHead + R"(a1.B-_~","more":"x"})", "a1.B-_~",
         "a1.B-_~"},
        {"quote at 43 starts the token", "trololo", kHead + "\"q7\"}", "\"q7", "%22q7"},
        {"one-byte token in a 45-byte response", "getepg", kHead + "Z\"", "Z", "Z"},
    });
}

TEST_F(Guide, PercentEncodesTokenBytesAUrlDoesNotAllow)
{
    expect_token_exchanges({
        {"URL characters pass, blank and fragment mark do not", "trololo",
         kHead + "a&b=c d+e#f%4A{|}^`<>\\\"", "a&b=c d+e#f%4A{|}^`<>\\",
         "a&b=c%20d+e%23f%4A%7B%7C%7D%5E%60%3C%3E%5C"},
        {"non-ASCII and control bytes (logged as \\xNN)", "getepg", kHead + "\xc3\xa9t\x01\x7f\"}",
         "\xc3\xa9t\\x01\\x7f", "%C3%A9t%01%7F"},
    });
}

TEST_F(Guide, ResponseWithoutTokenSendsNoGet)
{
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"empty", ""},
        {"44 bytes", kHead + "x"},
        {"44 bytes ending in a quote", kHead + "\""},
        {"no quote after offset 43", kHead + "\"abcdefgh}"},
    };
    FakeGuide post(8080, ""), get(8081, "must not be fetched");
    for (const auto& [what, response] : cases) {
        SCOPED_TRACE(what);
        post.set_body(response);
        auto lines = exchange("getepg", kNoToken);
        EXPECT_TRUE(in_order(lines, {kPostLine, kNoToken}));
        EXPECT_FALSE(has_line(lines, "token received:"));
        EXPECT_FALSE(has_line(lines, "Sending HTTP GET AT"));
        EXPECT_TRUE(get.requests().empty());
        EXPECT_EQ(scratch(), response);
        expect_serves_next();
    }
    EXPECT_EQ(post.requests().size(), cases.size());
}

TEST_F(Guide, UnreachableServersFailAndDaemonGoesOn)
{
    { // nothing listens: the POST fails at once and leaves the scratch file empty
        std::ofstream(env.workdir() + "/f") << "stale response from before";
        auto start = Clock::now();
        auto lines = exchange("getepg", kNoToken);
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
        EXPECT_TRUE(in_order(lines, {"FAIL", kNoToken}));
        EXPECT_FALSE(has_line(lines, "Sending HTTP POST AT"));
        EXPECT_FALSE(has_line(lines, "token received:"));
        EXPECT_EQ(scratch(), "");
        expect_serves_next();
    }
    { // the token comes, but nobody takes it back
        const std::string response = kHead + "tok1234\"";
        FakeGuide post(8080, response);
        auto lines = exchange("trololo", "FAIL");
        EXPECT_TRUE(in_order(lines, {kPostLine, "token received: tok1234", "FAIL"}));
        EXPECT_FALSE(has_line(lines, "Sending HTTP GET AT"));
        EXPECT_EQ(post.requests().size(), 1u);
        EXPECT_EQ(scratch(), response);
        expect_serves_next();
    }
}

// The one slow test: a server that takes the POST and never answers is given
// up when the message's 15 s are spent; the message's later exchanges fail at
// once without a request, and the daemon is free again.
TEST_F(Guide, SilentServerSpendsTheMessagesTimeOnce)
{
    FakeGuide post(8080, kHead + "never12\"", FakeGuide::Mode::Silent), get(8081, "");
    size_t base = d.err_lines().size();
    auto start = Clock::now();
    d.send_and_wait(message(user_xml("anna", "getepg") + user_xml("peter", "trololo") +
                            user_xml("eva", "getepg") + user_xml("tom", "getepg")),
                    40000);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_LT(ms, 25000);
    EXPECT_GE(ms, 14000) << "cut short before the 15 s budget";
    auto all = d.err_lines();
    std::vector<std::string> lines(all.begin() + static_cast<long>(base), all.end());
    EXPECT_TRUE(
        in_order(lines, {"FAIL", kNoToken, "FAIL", kNoToken, "FAIL", kNoToken, "FAIL", kNoToken}));
    EXPECT_EQ(post.requests().size(), 1u);
    EXPECT_FALSE(has_line(lines, "token received:"));
    EXPECT_TRUE(get.requests().empty());
    expect_serves_next();
}

// SIGINT cuts a silent exchange short; the shutdown follows at once.
TEST_F(Guide, SigintCutsTheExchangeShort)
{
    FakeGuide post(8080, "", FakeGuide::Mode::Silent);
    d.send(message(user_xml("anna", "getepg")));
    for (auto until = Clock::now() + std::chrono::seconds(10);
         post.requests().empty() && Clock::now() < until;)
        usleep(10000);
    ASSERT_EQ(post.requests().size(), 1u);
    d.sigint();
    EXPECT_EQ(d.wait_exit(), 0); // well before the 15 s of the exchange
    EXPECT_TRUE(
        in_order(d.err_lines(),
                 {"FAIL", kNoToken, "[server] db_set_all_offline() returned 0 (0 - succesful)"}));
    EXPECT_NE(d.out().find("Thank you for flying with VelmoraServer."), std::string::npos);
}

// Of a response only the first 64 KiB are kept: in the scratch file, and on
// standard output for the GET; the rest is counted in the log.
TEST_F(Guide, OversizedResponsesAreCutAt64KiB)
{
    const size_t kept = 64 * 1024, extra = 300000;
    const std::string response =
        kHead + "big7\"" + std::string(kept + extra - kHead.size() - 5, 'p');
    const std::string get_body = std::string(kept, 'g') + std::string(extra, 'G');
    FakeGuide post(8080, response), get(8081, get_body);
    const std::string dropped = "[http_post] response longer than 65536 bytes; " +
                                std::to_string(extra) + " bytes discarded";
    auto lines = exchange("getepg", kGetLinePrefix + "big7&users=2");
    EXPECT_TRUE(in_order(lines, {dropped, kPostLine, "token received: big7", dropped,
                                 kGetLinePrefix + "big7&users=2"}));
    EXPECT_EQ(scratch(), response.substr(0, kept));
    EXPECT_TRUE(d.wait_stdout(std::string(kept, 'g')));
    EXPECT_EQ(d.out().find("gG"), std::string::npos);
    expect_serves_next();
}

// A scratch file that cannot be made, or an f that is no regular file (a
// directory, a link, a FIFO), is reported and left as it is: no token, no GET.
TEST_F(Guide, UnusableScratchFileIsReportedAndNoGetSent)
{
    const std::string f = env.workdir() + "/f", target = env.dir() + "/precious";
    std::ofstream(target) << "keep me";
    const struct {
        const char* what;
        std::function<int()> make;
        mode_t kind;
    } cases[] = {
        {"directory", [&] { return mkdir(f.c_str(), 0755); }, S_IFDIR},
        {"symlink", [&] { return symlink(target.c_str(), f.c_str()); }, S_IFLNK},
        {"FIFO", [&] { return mkfifo(f.c_str(), 0644); }, S_IFIFO},
    };
    FakeGuide post(8080, kHead + "tok1234\""), get(8081, "");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(c.make(), 0);
        auto lines = exchange("getepg", kNoToken);
        bool reported = false;
        for (const auto& l : lines)
            reported |= l.rfind("[http_post] ", 0) == 0 && l != kNoToken &&
                        l.find("scratch file f") != std::string::npos;
        EXPECT_TRUE(reported) << "no log line about the scratch file";
        EXPECT_FALSE(has_line(lines, "token received:"));
        EXPECT_TRUE(get.requests().empty());
        struct stat st {};
        EXPECT_TRUE(lstat(f.c_str(), &st) == 0 && (st.st_mode & S_IFMT) == c.kind);
        expect_serves_next();
        std::filesystem::remove(f);
    }
    std::ifstream in(target);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "keep me");
}

// The guide server's address and ports come from the settings file.
TEST(GuideSettings, ConfiguredAddressAndPortsAreUsed)
{
    reset_database();
    FakeGuide post(18080, kHead + "tok1\"", FakeGuide::Mode::Answer, "127.0.0.2");
    FakeGuide get(18081, "listing\n", FakeGuide::Mode::Answer, "127.0.0.2");
    TestEnv env;
    Daemon d(env, {"no_proxy=*", "NO_PROXY=*"});
    d.args({"--config", env.write_config("[guide]\nhost = 127.0.0.2\npost_port = 18080\n"
                                         "get_port = 18081\n")});
    d.start();
    d.send_and_wait(message(user_xml("anna", "getepg")));
    EXPECT_TRUE(d.wait_stderr("Sending HTTP GET AT http://127.0.0.2:18081/?token=tok1&users=2\n"));
    EXPECT_NE(d.err().find("Sending HTTP POST AT 127.0.0.2:18080 id=1&user=2&pin=4821&device=2\n"),
              std::string::npos)
        << d.err();
    ASSERT_EQ(post.requests().size(), 1u);
    EXPECT_EQ(post.requests()[0].header("host"), "127.0.0.2:18080");
    EXPECT_EQ(get.requests().size(), 1u);
}
