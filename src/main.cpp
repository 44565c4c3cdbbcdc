#include <cstdio>
#include <cstdlib>

#include "display.hpp"
#include "doors.hpp"
#include "rooms.hpp"
#include "server.hpp"
#include "settings.hpp"

int main(int argc, char** argv)
{
    // Before anything can be opened: a descriptor 0, 1 or 2 that the caller
    // left closed would otherwise be taken by the listener or the database.
    server_guard_process();
    // Answered, or refused, before anything touches the screen or the port.
    const Startup st = settings_load(argc, argv);
    if (st.status != 0) {
        std::fprintf(stderr, "velmora-server: %s\n", st.refusal.c_str());
        return st.status;
    }
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
    case Action::Retire:
        return rooms::retire(st.settings, st.retire);
    case Action::Pair:
    case Action::Serve:
        break;
    }
    if (const std::string problem = settings_prepare_workdir(st.settings); !problem.empty()) {
        std::fprintf(stderr, "velmora-server: %s\n", problem.c_str());
        return 2;
    }
    if (st.action == Action::Pair)
        return pair_through_web_door(st.settings);
    // The journal's answer to "which settings?".
    const std::string files = settings_files(st.settings);
    std::fprintf(stderr, "[settings] %s\n",
                 files.empty() ? "no settings file: the built-in settings"
                               : ("read " + files).c_str());
    // The programs that draw on the screen find it where the daemon looks.
    setenv("DISPLAY", st.settings.server.display.c_str(), 1);
    display_configure(st.settings.server.display);
    return server_main(st.settings);
}
