#include "player.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "clock.hpp"
#include "children.hpp"
#include "household.hpp"
#include "log.hpp"
#include "net.hpp"
#include "secfunc.hpp"
#include "sigint.hpp"

namespace {

// The player child of the latest channel change, until it is collected.
pid_t g_player_pid = 0;
// The background child of the latest join, until it is collected; it leads a
// process group of its own with the programs it runs.
pid_t g_background_pid = 0;

// A player child still in its pause would become a player after a later
// change or a restore: stop it before it does, together with the pkill it may
// be running, which would otherwise go on and stop the newer player.
void cancel_pending_player()
{
    if (g_player_pid > 0)
        kill(-g_player_pid, SIGTERM);
}

// A render still running would put its picture over whatever comes after it:
// stop its whole group and collect it before the screen changes again. The
// daemon adopts the programs of a background child that dies before them, so
// every member of the group is collected here. SIGKILL cannot be held up, so
// the wait is short; it is bounded all the same.
void stop_background()
{
    if (g_background_pid <= 0)
        return;
    pid_t group = g_background_pid;
    g_background_pid = 0;
    kill(-group, SIGKILL);
    auto until = MonotonicClock::now() + std::chrono::seconds(1);
    for (;;) {
        pid_t r = waitpid(-group, nullptr, WNOHANG);
        if (r < 0 && errno != EINTR)
            return; // none left
        if (r == 0) {
            if (MonotonicClock::now() >= until)
                return;
            pause_for(std::chrono::milliseconds(1));
        }
    }
}

// Whether a process whose name matches mplayer (as pkill matches it) is still
// alive; one that has ended but is not yet collected counts as gone.
bool player_alive()
{
    DIR* proc = opendir("/proc");
    if (!proc)
        return false;
    bool alive = false;
    while (dirent* e = readdir(proc)) {
        if (e->d_name[0] < '1' || e->d_name[0] > '9')
            continue;
        // The first line, a few hundred bytes at most.
        char buf[512];
        Fd in(open((std::string("/proc/") + e->d_name + "/stat").c_str(), O_RDONLY | O_CLOEXEC));
        const ssize_t n = in.fd < 0 ? -1 : read(in.fd, buf, sizeof buf);
        if (n <= 0)
            continue;
        std::string_view stat(buf, static_cast<std::size_t>(n));
        stat = stat.substr(0, stat.find('\n'));
        // "pid (comm) S ...": comm may itself hold blanks and parentheses.
        size_t open = stat.find('('), close = stat.rfind(')');
        if (open == std::string_view::npos || close == std::string_view::npos ||
            close + 2 >= stat.size())
            continue;
        char state = stat[close + 2];
        if (state != 'Z' && state != 'X' &&
            stat.substr(open + 1, close - open - 1).find("mplayer") != std::string_view::npos) {
            alive = true;
            break;
        }
    }
    closedir(proc);
    return alive;
}

// The old player must have let go of the tuner before the new one starts;
// that takes at most a second.
void wait_players_gone()
{
    auto until = MonotonicClock::now() + std::chrono::seconds(1);
    while (player_alive() && MonotonicClock::now() < until)
        pause_for(std::chrono::milliseconds(5));
}

// The daemon's own children: the player and the render.
void child_ended(pid_t pid)
{
    if (pid == g_player_pid)
        g_player_pid = 0;
    if (pid == g_background_pid) {
        g_background_pid = 0;
        household::rendered();
    }
}
// Told by the serving loop's collection of finished children.
const bool g_told_of_ends = (on_child_end(child_ended), true);

} // namespace

// ---------------------------------------------------------------- player

int player_set_channel(Db& db, const char* channel, bool notify)
{
    int r = db_update_lasts(db, channel);
    std::fprintf(stderr, "db_update_lasts(%s): %d\n", logSafe(channel).c_str(), r);
    if (notify)
        player_notify("Changing channel", channel);

    // Only the player of the latest change may remain.
    if (*channel)
        cancel_pending_player();
    pid_t pid = fork_child(true);
    if (pid > 0 && *channel) {
        g_player_pid = pid;
        household::playing(channel);
    }
    if (pid != 0)
        return 0;

    std::printf("[player] Channel: '%s'\n", logSafe(channel).c_str());
    if (!*channel)
        end_child(-1);
    char sdvb[50];
    std::snprintf(sdvb, sizeof sdvb, "dvb://%s", std::string(cutText(channel, 43)).c_str());
    run_program({"pkill", "mplayer"}, Wait::own);
    wait_players_gone();
    std::fflush(stdout);
    execlp("mplayer", "mplayer", "-rootwin", "-fs", "-nocache", "-forceidx", sdvb,
           static_cast<char*>(nullptr));
    report_exec_failure("mplayer");
    end_child(-1);
}

namespace {

// convert reads %-escapes in annotation texts; a caption is drawn as written.
std::string literal_annotation(std::string_view text)
{
    std::string out;
    for (char c : text) {
        out += c;
        if (c == '%')
            out += '%';
    }
    return out;
}

// The render's argv: the greeting, the users' caption bottom left and the
// channels' one beside it, on the user's picture.
std::vector<std::string> convert_command(const std::string& pictured, const std::string& onlinesd,
                                         const std::string& channelsd)
{
    return {"convert",    "pictures/" + pictured,
            "-fill",      "white",
            "-gravity",   "center",
            "-pointsize", "80",
            "-annotate",  "+0+0",
            "Welcome!",   "-gravity",
            "southwest",  "-pointsize",
            "20",         "-annotate",
            "+80+80",     literal_annotation(onlinesd),
            "-annotate",  "+1100+80",
            literal_annotation(channelsd), "out.jpg"};
}

std::string caption(const char* heading, const char* list)
{
    if (!*list)
        return "";
    std::string head = heading;
    return head + fmtList(list, LIST_MAX - head.size());
}

} // namespace

int player_set_background(const char* name, const char* onlines, const char* channels,
                          const char* picture)
{
    std::fprintf(stderr, "[player_set_background] user: %s\n", logSafe(name).c_str());
    std::fprintf(stderr, "[player_set_background] onlines: %s\n", logSafe(onlines).c_str());
    std::fprintf(stderr, "[player_set_background] channels: %s\n", logSafe(channels).c_str());
    std::fprintf(stderr, "[player_set_background] picture: %s\n", logSafe(picture).c_str());

    std::string pictured(cutText(*picture ? picture : "black.jpg", 29));
    std::string onlinesd = caption("PRESENT KNOWN USERS:\\n", onlines);
    std::string channelsd = caption("CHANNELS:\\n", channels);

    // Only the render of the latest join may write out.jpg and set it.
    stop_background();
    // Programs of a render that dies first are adopted, so none is left
    // running unseen or uncollected.
    static bool adopting = prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
    (void)adopting;
    pid_t pid = fork_child(true, true);
    if (pid > 0) {
        g_background_pid = pid;
        household::welcomed();
    }
    if (pid != 0)
        return 0;
    // A welcome that fails to render must not leave the previous out.jpg to
    // be set again; and a link of that name is removed, not written through.
    auto render = [&] {
        unlink("out.jpg");
        return run_program(convert_command(pictured, onlinesd, channelsd));
    };
    int status = render();
    if (status != 0 && pictured != "black.jpg") {
        std::fprintf(stderr,
                     "[background] convert failed on pictures/%s (%s); rendering on "
                     "pictures/black.jpg\n",
                     logSafe(pictured).c_str(), status_text(status).c_str());
        pictured = "black.jpg";
        status = render();
    }
    if (status == 0)
        run_program({"fbsetbg", "out.jpg"});
    else
        std::fprintf(stderr,
                     "[background] convert failed on pictures/%s (%s); the screen is left as it "
                     "is\n",
                     logSafe(pictured).c_str(), status_text(status).c_str());
    std::printf("[background] Name: '%s'\n", logSafe(name).c_str());
    std::printf("[background] Picture: '%s'\n", logSafe(pictured).c_str());
    std::printf("[background] Onlines: '%s'\n", logSafe(onlinesd).c_str());
    std::printf("[background] Channels: '%s'\n", logSafe(channelsd).c_str());
    end_child(-1);
}

int player_volume(const char* type)
{
    if (std::strcmp(type, "plus") == 0) {
        run_program({"amixer", "set", "Master", "10dB+"});
        player_notify("Volume", "up");
    } else if (std::strcmp(type, "minus") == 0) {
        run_program({"amixer", "set", "Master", "10dB-"});
        player_notify("Volume", "down");
    }
    return 0;
}

int player_notify(const char* title, const char* text)
{
    // The command line, as logged, holds at most 999 characters.
    static constexpr std::size_t TXT_MAX = 999;
    std::string_view t = cutText(title, TXT_MAX - 17);
    std::string_view x = cutText(text, TXT_MAX - 17 - t.size());
    std::string txt = "notify-send '" + std::string(t) + "' '" + std::string(x) + "'";

    std::vector<std::string> argv = {"notify-send"};
    // A text that starts with a dash is a text, not an option.
    if (t.substr(0, 1) == "-" || x.substr(0, 1) == "-")
        argv.push_back("--");
    argv.emplace_back(t);
    argv.emplace_back(x);
    int status = run_program(argv);
    std::fprintf(stderr, "[player_notify] %s %d\n", logSafe(txt).c_str(), status);
    return 0;
}

namespace {

// What kept a restore's program from doing its work, or null when it ran to
// its end (pkill's "no player found" included).
const char* not_done(int status)
{
    if ((status == -1 || WIFSIGNALED(status)) && shutdown_requested())
        return "stopped by the shutdown";
    if (status == -1 || (WIFEXITED(status) && WEXITSTATUS(status) == 127))
        return "could not run";
    return WIFSIGNALED(status) ? "was stopped" : nullptr;
}

} // namespace

// A step that did not happen says so in place of its "restored" line. The
// daemon's own player is stopped with its group whatever pkill does, so
// nothing plays for the household; a screen that was not set black keeps its
// picture there, and the page shows it.
int player_restore()
{
    cancel_pending_player();
    stop_background();
    household::playing("");
    if (const char* why = not_done(run_program({"pkill", "mplayer"}, Wait::own)))
        std::printf("[player] not restored: pkill mplayer %s\n", why);
    else
        std::printf("[player] restored\n");
    if (const char* why = not_done(run_program({"fbsetbg", "black.jpg"}, Wait::own))) {
        std::printf("[background] not restored: fbsetbg black.jpg %s\n", why);
    } else {
        household::screen("black.jpg");
        std::printf("[background] restored\n");
    }
    return 0;
}
