// The display check at start: one line when the display names no X server
// that accepts, none when one does, and the daemon serves either way; the
// screen follows once the display answers.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstddef>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>

#include "display.hpp"
#include "harness.hpp"
#include "net.hpp"

using namespace vt;

TEST(Display, OneLineAtStartThenTheScreenFollowsTheDisplay)
{
    // An X server's TCP port on the suite's private network: display 98.
    Fd tcp(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(6098);
    in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(tcp.fd, reinterpret_cast<sockaddr*>(&in), sizeof in), 0) << std::strerror(errno);
    ASSERT_EQ(listen(tcp.fd, 8), 0);
    const std::string local = standin_display();
    const std::pair<std::string, std::string> cases[] = {
        {"", "DISPLAY is not set"},
        {local, ""},
        {"unix" + local + ".0", ""},
        {"127.0.0.1:98", ""},
        {"tcp/localhost:98.0", ""},
        {":96", "DISPLAY=:96, nothing accepts on /tmp/.X11-unix/X96: No such file or directory"},
        {"127.0.0.1:96",
         "DISPLAY=127.0.0.1:96, nothing accepts on 127.0.0.1:6096: Connection refused"},
        {"tv", "DISPLAY=tv, which names no X display"},
        {"\x1b[2J:x", "DISPLAY=\\x1b[2J:x, which names no X display"},
    };
    for (const auto& [display, why] : cases)
        EXPECT_EQ(display_unreachable(display.c_str()), why) << display;
    EXPECT_EQ(display_unreachable(nullptr), "DISPLAY is not set");

    // No X at start: one line, then the display watched; once X answers, the
    // television is shown on it as it is (the black screen, the welcome, the
    // channel that plays), with the display of the settings, not DISPLAY's.
    reset_database();
    TestEnv env;
    const std::string later = ":" + std::to_string(std::stoi(local.substr(1)) + 1);
    Daemon d(env);
    d.args({"--config", env.write_config("[server]\ndisplay = " + later + "\n")});
    d.start();
    d.send_and_wait(message(user_xml("anna", "join")));
    d.send_and_wait(message(user_xml("x", "next")));
    EXPECT_TRUE(env.wait_invocations_of("mplayer", 1));
    Fd x(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    const std::string name = "/tmp/.X11-unix/X" + later.substr(1);
    std::memcpy(a.sun_path + 1, name.data(), name.size());
    const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    ASSERT_EQ(bind(x.fd, reinterpret_cast<sockaddr*>(&a), len) | listen(x.fd, 8), 0);
    EXPECT_TRUE(d.wait_stderr("[server] the display " + later +
                              " answers: showing the television "
                              "on it\n"));
    EXPECT_TRUE(d.wait_stdout("[background] restored\n", 15000, 2));
    EXPECT_TRUE(env.wait_invocations_of("mplayer", 2));
    EXPECT_TRUE(env.wait_invocations_of("convert", 2)); // the welcome again
    const auto played = env.invocations_of("mplayer");
    EXPECT_EQ(played[1].argv.back(), played[0].argv.back());
    EXPECT_EQ(env.invocations_of("fbsetbg").size(), 4u) << "black at start and on the new screen";
    d.sigint();
    EXPECT_EQ(d.wait_exit(), 0) << d.err();
    EXPECT_EQ(d.err().find("[server] no display reachable (DISPLAY=" + later +
                           ", nothing accepts on " + name +
                           ": No such file or directory): the screen follows as soon as it "
                           "answers\n[RCV] "),
              d.err().find('\n') + 1)
        << d.err();
}
