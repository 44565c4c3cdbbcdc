// The display check at start: one line when DISPLAY names no X server that
// accepts, none when one does, and the daemon serves either way.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>

#include "display.hpp"
#include "harness.hpp"
#include "secfunc.hpp"

using namespace vt;

namespace {

// A listener as an X server has, on the suite's private network: the abstract
// local socket of display 97 and TCP port 6098 (display 98).
int x_listener(bool local)
{
    Fd s(socket(local ? AF_UNIX : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un un{};
    un.sun_family = AF_UNIX;
    const char name[] = "/tmp/.X11-unix/X97";
    std::memcpy(un.sun_path + 1, name, sizeof name - 1);
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(6098);
    in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool bound =
        local ? bind(s.fd, reinterpret_cast<sockaddr*>(&un),
                     static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + sizeof name)) == 0
              : bind(s.fd, reinterpret_cast<sockaddr*>(&in), sizeof in) == 0;
    if (!bound || listen(s.fd, 8) != 0)
        throw std::runtime_error(std::string("x_listener: ") + std::strerror(errno));
    return s.release();
}

} // namespace

TEST(Display, OneLineAtStartWhenNoneIsReachable)
{
    Fd local(x_listener(true)), tcp(x_listener(false));
    const std::pair<const char*, std::string> cases[] = {
        {nullptr, "DISPLAY is not set"},
        {"", "DISPLAY is not set"},
        {":97", ""},
        {"unix:97.0", ""},
        {"127.0.0.1:98", ""},
        {"tcp/localhost:98.0", ""},
        {":96", "DISPLAY=:96, nothing accepts on /tmp/.X11-unix/X96: No such file or directory"},
        {"127.0.0.1:96", "DISPLAY=127.0.0.1:96, nothing accepts on 127.0.0.1:6096: Connection refused"},
        {"tv", "DISPLAY=tv, which names no X display"},
        {"\x1b[2J:x", "DISPLAY=\\x1b[2J:x, which names no X display"},
    };
    for (const auto& [display, why] : cases)
        EXPECT_EQ(display_unreachable(display), why) << (display ? display : "(unset)");

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
