#include <cstdio>

#include "server.hpp"
#include "settings.hpp"
#include "doors.hpp"
#include "rooms.hpp"

int main(int argc, char** argv)
{
    // Before anything can be opened: a descriptor 0, 1 or 2 that the caller
    // left closed would otherwise be taken by the listener or the database.
    server_guard_process();
    // Answered, or refused, before anything touches the screen or the port.
    Startup st = settings_load(argc, argv);
    switch (st.action) {
    case Action::Help:
        std::fputs(kUsage, stdout);
        return 0;
    case Action::Version:
        std::printf("velmora-server %s\n", VELMORA_VERSION);
        return 0;
    case Action::CheckConfig:
        std::fputs(settings_describe(st.settings).c_str(), stdout);
        return 0;
    case Action::Pair:
        return pair_through_web_door(st.settings);
    case Action::Retire:
        return rooms::retire(st.settings, st.retire);
    case Action::Serve:
        break;
    }
    return server_main(st.settings);
}
