#include <cstdio>
#include <cstring>

#include "server.hpp"

namespace {

const char* const kHelp =
    R"(usage: velmora-server [--help | --version]

Velmora's set-top daemon. It listens on TCP port 5003 (or serves the listening
socket a service manager hands it), takes one XML message per connection, keeps
who is online in the MariaDB database dvb and drives the television with
mplayer, convert, fbsetbg, notify-send and amixer. Run it in its working
directory, which holds black.jpg and pictures/. SIGINT shuts it down in order.
MYSQL_UNIX_PORT picks the database socket. Send messages with velmora-send.

  --help      this text
  --version   the version
)";

} // namespace

int main(int argc, char** argv)
{
    // Answered before anything touches the screen or the port.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            std::fputs(kHelp, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("velmora-server %s\n", VELMORA_VERSION);
            return 0;
        }
    }
    return server_main(argc, argv);
}
