// Prints how fast the daemon's in-process work is: parsing and dispatching a
// message (commands that need no database or program), and the comma-list
// operations on a household-sized list. Not a test: it only prints figures.
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "commands.hpp"
#include "dispatch.hpp"
#include "secfunc.hpp"
#include "server.hpp"

namespace {

std::FILE* report;

template <class F> void measure(const char* what, int n, F&& f)
{
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < n; ++i)
        f();
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::fprintf(report, "%-42s %10.0f /s %9.2f us each\n", what, n / s, s * 1e6 / n);
}

std::string message(int users, const char* command)
{
    std::string m = "<m><app>bench</app><users>";
    for (int i = 0; i < users; ++i)
        m += "<user><name>user" + std::to_string(i) + "</name><command>" + command +
             "</command><presence>online</presence><probability>40</probability></user>";
    return m + "</users></m>";
}

} // namespace

int main()
{
    // The figures go to the real standard output; the daemon's own log lines
    // would dominate, so they go nowhere.
    report = fdopen(dup(STDOUT_FILENO), "w");
    int nul = open("/dev/null", O_WRONLY);
    if (!report || nul < 0)
        return 1;
    std::fflush(stdout);
    dup2(nul, STDOUT_FILENO);
    dup2(nul, STDERR_FILENO);

    ViewingState view;
    Db db; // neither kind needs it: it is never opened

    const std::string one = message(1, "last");
    const std::string four = message(4, "l:7 r:1");
    measure("parse + dispatch, one user (last)", 50000, [&] { parseThis(db, view, one.c_str()); });
    measure("parse + dispatch, four users (gesture)", 50000,
            [&] { parseThis(db, view, four.c_str()); });

    std::string list;
    for (int i = 0; i < 50; ++i)
        list += (i ? ",channel" : "channel") + std::to_string(i);
    std::size_t sink = 0;
    measure("findItem, last of 50 items", 20000, [&] { sink += findItem("channel49", list); });
    measure("getAtPos, item 25 of 50", 200000, [&] { sink += getAtPos(list, 25).size(); });
    measure("fmtList, 50 items", 20000, [&] { sink += fmtList(list).size(); });
    measure("fmtList2, 50 items", 20000, [&] { sink += fmtList2(list).size(); });
    std::fprintf(report, "(checksum %zu)\n", sink);
    return 0;
}
