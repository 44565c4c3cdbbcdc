#include "children.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "clock.hpp"
#include "budget.hpp"
#include "net.hpp"
#include "sigint.hpp"

namespace {

// A program the daemon waits for (notify-send, amixer, pkill, fbsetbg) may
// take this long; then it gets SIGTERM, and SIGKILL after the grace.
constexpr int PROGRAM_TIMEOUT_MS = 5000;
constexpr int PROGRAM_GRACE_MS = 1000;

// False in every child: a child runs its programs to their end, since the
// daemon does not wait for the child itself.
bool g_in_daemon = true;
// True in a render child: it and the programs it runs end with their parent,
// so that no render outlives a killed daemon and sets an old welcome over
// whatever the next daemon shows.
bool g_ends_with_parent = false;

void (*g_ended)(pid_t) = nullptr;

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

// Waits up to ms for the child to end, or, with `stop_on_sigint`, until
// SIGINT; true when it ended (its wait status in `status`). The pidfd, when
// the kernel gives one, wakes the wait as the child ends; SIGINT is let in
// only for the wait itself.
bool wait_child(pid_t pid, int pidfd, int ms, bool stop_on_sigint, int& status)
{
    using Clock = MonotonicClock;
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

} // namespace

[[noreturn]] void end_child(int status)
{
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(status);
}

void report_exec_failure(const char* program)
{
    int err = errno;
    dprintf(2, "[exec] %s: %s\n", program, std::strerror(err));
}

pid_t fork_child(bool own_group, bool ends_with_parent)
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

int run_program(const std::vector<std::string>& argv, Wait wait)
{
    if (g_in_daemon && shutdown_requested()) {
        std::fprintf(stderr, "[player] %s stopped by the shutdown\n", argv[0].c_str());
        return -1;
    }

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
        std::fprintf(stderr, "[player] %s stopped by the shutdown\n", argv[0].c_str());
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

std::string status_text(int status)
{
    if (status == -1 || (WIFEXITED(status) && WEXITSTATUS(status) == 127))
        return "not started";
    if (WIFSIGNALED(status))
        return "killed by signal " + std::to_string(WTERMSIG(status));
    return "exit status " + std::to_string(WEXITSTATUS(status));
}

void reap_children()
{
    pid_t pid;
    while ((pid = waitpid(-1, nullptr, WNOHANG)) > 0)
        if (g_ended)
            g_ended(pid);
}

void on_child_end(void (*ended)(pid_t))
{
    g_ended = ended;
}
