// The display check at start: one line when DISPLAY names no X server that
// accepts, none when one does, and the daemon serves either way.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <sys/socket.h>

#include "display.hpp"
#include "harness.hpp"
#include "net.hpp"

using namespace vt;

TEST(Display, OneLineAtStartWhenNoneIsReachable)
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
        {"127.0.0.1:96", "DISPLAY=127.0.0.1:96, nothing accepts on 127.0.0.1:6096: Connection refused"},
        {"tv", "DISPLAY=tv, which names no X display"},
        {"\x1b[2J:x", "DISPLAY=\\x1b[2J:x, which names no X display"},
    };
    for (const auto& [display, why] : cases)
        EXPECT_EQ(display_unreachable(display.c_str()), why) << display;
    EXPECT_EQ(display_unreachable(nullptr), "DISPLAY is not set");

    reset_database();
    TestEnv env;
    Daemon d(env, {"DISPLAY="});
    d.start();
    d.send_and_wait(message(user_xml("anna", "join")));
    EXPECT_EQ(user_state("anna"), "online");
    d.sigint();
    EXPECT_EQ(d.wait_exit(), 0) << d.err();
    EXPECT_EQ(d.err().find("[server] no display reachable (DISPLAY is not set): the screen will "
                           "not change\n[RCV] "),
              0u)
        << d.err();
}
