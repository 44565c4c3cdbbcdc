// The player control: the screen, the sound and the notifications, and the
// one launcher through which the daemon starts every program.
#include "commands.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <optional>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "database.hpp"
#include "household.hpp"
#include "log.hpp"
#include "net.hpp"
#include "secfunc.hpp"
#include "sigint.hpp"

namespace {

// A program the daemon waits for (notify-send, amixer, pkill, fbsetbg) may
// take this long; then it gets SIGTERM, and SIGKILL after the grace.
constexpr int PROGRAM_TIMEOUT_MS = 5000;
constexpr int PROGRAM_GRACE_MS = 1000;

using Clock = std::chrono::steady_clock;
constexpr auto MESSAGE_BUDGET = std::chrono::seconds(15);
// The end of the message in hand's time; none outside a message.
std::optional<Clock::time_point> g_message_end;

// False in every child: a child runs its programs to their end, since the
// daemon does not wait for the child itself.
bool g_in_daemon = true;
// True in a render child: it and the programs it runs end with their parent,
// so that no render outlives a killed daemon and sets an old welcome over
// whatever the next daemon shows.
bool g_ends_with_parent = false;

// The player child of the latest channel change, until it is collected.
pid_t g_player_pid = 0;
// The background child of the latest join, until it is collected; it leads a
// process group of its own with the programs it runs.
pid_t g_background_pid = 0;

void reset_child()
{
    g_in_daemon = false;
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGPIPE, SIG_DFL);
    std::signal(SIGCHLD, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    // Never the daemon's terminal: a player in a process group of its own
    // would be stopped (SIGTTOU) as soon as it set up its console there.
    int null = open("/dev/null", O_RDONLY);
    if (null > 0)
        dup2(null, 0);
    // The listening socket and a database connection stay with the daemon.
    closefrom(3);
}

[[noreturn]] void end_child(int status)
{
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(status);
}

// A player child still in its pause would become a player after a later
// change or a restore: stop it before it does, together with the pkill it may
// be running, which would otherwise go on and stop the newer player.
void cancel_pending_player()
{
    if (g_player_pid > 0)
        kill(-g_player_pid, SIGTERM);
}

// A program that cannot be started is named on stderr with the reason; the
// child writes straight to the descriptor, past any stream buffer.
void report_exec_failure(const char* program)
{
    int err = errno;
    dprintf(2, "[exec] %s: %s\n", program, std::strerror(err));
}

// Every child starts with default signal handling, an empty signal mask and
// none of the daemon's descriptors but the standard three; the streams are
// flushed first so that no buffered line is written twice. A child in a group
// of its own can be stopped together with every program it starts.
pid_t fork_child(bool own_group = false, bool ends_with_parent = false)
{
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        reset_child();
        g_ends_with_parent = g_ends_with_parent || ends_with_parent;
        // A parent gone before the signal was asked for has not sent it.
        if (g_ends_with_parent && (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent))
            _exit(-1);
    }
    if (own_group && pid >= 0)
        setpgid(pid == 0 ? 0 : pid, 0); // in both, so neither side races the other
    return pid;
}

// Waits up to ms for the child to end, or, with `stop_on_sigint`, until
// SIGINT; true when it ended (its wait status in `status`). The pidfd, when
// the kernel gives one, wakes the wait as the child ends; SIGINT is let in
// only for the wait itself.
bool wait_child(pid_t pid, int pidfd, int ms, bool stop_on_sigint, int& status)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    sigset_t mask;
    sigprocmask(SIG_SETMASK, nullptr, &mask);
    sigdelset(&mask, SIGINT);
    for (;;) {
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid)
            return true;
        if (r < 0 && errno != EINTR) {
            status = -1;
            return true;
        }
        if (stop_on_sigint && shutdown_requested())
            return false;
        auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return false;
        if (pidfd < 0)
            left = std::min<std::chrono::nanoseconds>(left, std::chrono::milliseconds(20));
        timespec ts{static_cast<time_t>(left.count() / 1000000000),
                    static_cast<long>(left.count() % 1000000000)};
        pollfd p{pidfd, POLLIN, 0};
        ppoll(&p, pidfd >= 0 ? 1 : 0, &ts, &mask);
    }
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
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    for (;;) {
        pid_t r = waitpid(-group, nullptr, WNOHANG);
        if (r < 0 && errno != EINTR)
            return; // none left
        if (r == 0) {
            if (std::chrono::steady_clock::now() >= until)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
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
        std::ifstream in(std::string("/proc/") + e->d_name + "/stat");
        std::string stat;
        if (!std::getline(in, stat))
            continue;
        // "pid (comm) S ...": comm may itself hold blanks and parentheses.
        size_t open = stat.find('('), close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos || close + 2 >= stat.size())
            continue;
        char state = stat[close + 2];
        if (state != 'Z' && state != 'X' &&
            stat.substr(open + 1, close - open - 1).find("mplayer") != std::string::npos) {
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
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (player_alive() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

// How long a program may take. Notifications and the volume share the
// message's 15 s; the screen's restore and the channel start keep their own
// PROGRAM_TIMEOUT_MS whatever the message has spent, so that the screen
// follows the household even after three hung notifications. A child (the
// render) runs the programs of the message kind to their end.
enum class Wait { message, own };

// Runs argv (searched on PATH) and waits for it; returns the raw wait status,
// 127 << 8 when the program cannot be started (as the shell reports it), or -1
// when no process could be created. In the daemon the wait is bounded: a
// program still running after its time (Wait), or when SIGINT comes, is
// stopped (its status then shows the signal). After SIGINT no program is
// started until the shutdown sequence.
int run_program(const std::vector<std::string>& argv, Wait wait = Wait::message)
{
    if (g_in_daemon && shutdown_requested())
        return -1;

    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    pid_t pid = fork_child();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        execvp(args[0], args.data());
        report_exec_failure(args[0]);
        _exit(127);
    }
    int status = 0;
    if (!g_in_daemon && wait == Wait::message) {
        while (waitpid(pid, &status, 0) < 0)
            if (errno != EINTR)
                return -1;
        return status;
    }
    Fd pidfd{static_cast<int>(syscall(SYS_pidfd_open, pid, 0))};
    const int left = static_cast<int>(message_time_left().count());
    const bool budget_ends = wait == Wait::message && left < PROGRAM_TIMEOUT_MS;
    if (wait_child(pid, pidfd.fd, budget_ends ? left : PROGRAM_TIMEOUT_MS, g_in_daemon, status))
        return status;
    if (shutdown_requested())
        std::fprintf(stderr, "[player] %s stopped for the shutdown\n", argv[0].c_str());
    else if (budget_ends)
        std::fprintf(stderr, "[player] %s stopped: the message's %d s are spent\n", argv[0].c_str(),
                     static_cast<int>(MESSAGE_BUDGET.count()));
    else
        std::fprintf(stderr, "[player] %s did not end within %d s; stopped\n", argv[0].c_str(),
                     PROGRAM_TIMEOUT_MS / 1000);
    kill(pid, SIGTERM);
    if (wait_child(pid, pidfd.fd, PROGRAM_GRACE_MS, false, status))
        return status;
    kill(pid, SIGKILL);
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return status;
}

} // namespace

void message_budget_reset()
{
    g_message_end = Clock::now() + MESSAGE_BUDGET;
}

void message_budget_end()
{
    g_message_end.reset();
}

std::chrono::milliseconds message_time_left()
{
    if (!g_message_end)
        return MESSAGE_BUDGET;
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(*g_message_end - Clock::now());
    return std::max(left, std::chrono::milliseconds::zero());
}

void reap_children()
{
    pid_t pid;
    while ((pid = waitpid(-1, nullptr, WNOHANG)) > 0) {
        if (pid == g_player_pid)
            g_player_pid = 0;
        if (pid == g_background_pid) {
            g_background_pid = 0;
            household::rendered();
        }
    }
}

// ---------------------------------------------------------------- player

int player_set_channel(const char* channel)
{
    int r = db_update_lasts(channel);
    std::fprintf(stderr, "db_update_lasts(%s): %d\n", logSafe(channel).c_str(), r);
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
        return run_program({"convert",
                            "pictures/" + pictured,
                            "-fill",
                            "white",
                            "-gravity",
                            "center",
                            "-pointsize",
                            "80",
                            "-annotate",
                            "+0+0",
                            "Welcome!",
                            "-gravity",
                            "southwest",
                            "-pointsize",
                            "20",
                            "-annotate",
                            "+80+80",
                            literal_annotation(onlinesd),
                            "-annotate",
                            "+1100+80",
                            literal_annotation(channelsd),
                            "out.jpg"});
    };
    int status = render();
    if (status != 0 && pictured != "black.jpg") {
        std::fprintf(stderr,
                     "[background] convert failed on pictures/%s (status %d); rendering on "
                     "pictures/black.jpg\n",
                     logSafe(pictured).c_str(), status);
        pictured = "black.jpg";
        status = render();
    }
    if (status == 0)
        run_program({"fbsetbg", "out.jpg"});
    else
        std::fprintf(
            stderr,
            "[background] convert failed on pictures/%s (status %d); the screen is left as it is\n",
            logSafe(pictured).c_str(), status);
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
