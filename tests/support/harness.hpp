// Shared test support: a throw-away TV environment with recording stand-ins,
// the private test database, the real daemon as a child process, and builders
// for the XML messages it receives.
#pragma once

#include <condition_variable>
#include <initializer_list>
#include <map>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace vt {

// ---- Environment and stand-in records ------------------------------------

// One recorded run of a stand-in; argv[0] is the name as invoked.
struct Invocation {
    pid_t pid;
    std::vector<std::string> argv;
};

struct TestEnvOptions {
    bool real_convert = false;  // no `convert` link: the system's ImageMagick runs
    std::string standin_status; // VELMORA_STANDIN_STATUS for the daemon, e.g. "amixer=1"
    bool on_terminal = false;   // the daemon's stdin: a pseudo-terminal it controls, in front
};

// A fresh temp dir: work/ (daemon cwd, with black.jpg and pictures/*.jpg),
// bin/ (stand-in links, first on PATH) and standin.log.
// The destructor kills this env's stand-in players and removes the dir.
class TestEnv {
public:
    explicit TestEnv(TestEnvOptions options = {});
    ~TestEnv();
    TestEnv(const TestEnv&) = delete;
    TestEnv& operator=(const TestEnv&) = delete;

    const std::string& dir() const { return dir_; }
    const std::string& workdir() const { return workdir_; }
    const std::string& bindir() const { return bindir_; }
    const std::string& logpath() const { return logpath_; }
    const TestEnvOptions& options() const { return options_; }
    std::string path_env() const; // bindir + ":" + current PATH

    // Writes a settings file into the env's dir; returns its path.
    std::string write_config(const std::string& text,
                             const std::string& name = "velmora.conf") const;

    std::vector<Invocation> invocations() const;
    std::vector<Invocation> invocations_of(const std::string& prog) const; // by basename of argv[0]
    bool wait_invocations_of(const std::string& prog, size_t count, int timeout_ms = 15000) const;

private:
    TestEnvOptions options_;
    std::string dir_, workdir_, bindir_, logpath_;
};

// A stand-in X display for the daemons of this process: ":N", whose local
// socket (abstract, in the suite's network namespace) accepts connections and
// is never served. Every Daemon gets it as DISPLAY unless its extra_env sets
// one ("DISPLAY=" for none).
std::string standin_display();

// ---- Private test database (reached only through MYSQL_UNIX_PORT) ---------
// All of these throw std::runtime_error with the server's message on failure.

void reset_database(); // reload db/schema.sql and db/household.sql
std::vector<std::vector<std::string>> db_rows(const std::string& sql); // NULL -> "NULL"
void db_exec(const std::string& sql);
std::string sql_quote(const std::string& value); // 'value' with MariaDB escapes

std::string user_state(const std::string& name); // "online"/"offline"/..., "" if none
std::string user_last(const std::string& name);  // channel name, or "NULL"
void set_online(std::initializer_list<std::string> names);
// Whether sql is taken from the account of an option file's [velmora] group.
bool db_taken_as(const std::string& option_file, const std::string& database,
                 const std::string& sql);

// Stops the private test server (SIGSTOP) for its lifetime and continues it
// (SIGCONT) on every way out; the server's pid comes from its pid file next
// to the socket.
class FrozenDatabase {
public:
    FrozenDatabase();
    ~FrozenDatabase();
    FrozenDatabase(const FrozenDatabase&) = delete;
    FrozenDatabase& operator=(const FrozenDatabase&) = delete;

private:
    pid_t pid_ = -1;
};

// ---- The daemon -----------------------------------------------------------

constexpr int kExitTimeout = -1000; // wait_exit(): still running after the timeout

// Lines of refusals on stderr and the refusals they count.
struct Counted {
    size_t lines = 0, refusals = 0;
};

// The real velmora-server in env.workdir(), with env's stand-ins first on PATH.
// stdout and stderr are captured separately as they arrive. A launcher (for
// example valgrind and its options) runs the daemon in the same process.
class Daemon {
public:
    explicit Daemon(TestEnv& env, std::vector<std::string> extra_env = {}, // "K=V"
                    std::vector<std::string> launcher = {});
    ~Daemon(); // SIGKILLs the daemon if it still runs
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    // Hands fd (a listening socket) to the daemon as a service manager does:
    // as descriptor 3, with LISTEN_FDS=1 and LISTEN_PID set to the daemon's pid.
    void hand_listener(int fd) { listen_fd_ = fd; }
    // Command-line arguments (for example {"--config", path}), and the TCP
    // port that start() waits for and send() connects to.
    void args(std::vector<std::string> a) { args_ = std::move(a); }
    void port(unsigned p) { port_ = p; }

    void spawn(); // start without waiting (for daemons expected to exit early)
    // spawn, then wait until it LISTENs on its port and (with `startup_lines`)
    // its start-up lines (the screen restore) have been read; throws if it
    // does not get there.
    void start(int timeout_ms = 20000, bool startup_lines = true);

    void send(const std::string& bytes); // one connection: write all, close
    // A connection to the daemon, left open for the caller to use and close.
    int connect_open();
    // send(), then wait for one more "[memory] currentUser: " on stdout; throws on timeout.
    void send_and_wait(const std::string& bytes, int timeout_ms = 20000);

    bool wait_stdout(const std::string& needle, int timeout_ms = 15000, size_t occurrences = 1);
    bool wait_stderr(const std::string& needle, int timeout_ms = 15000, size_t occurrences = 1);
    // The refusals stderr shows as `line` (alone, or with "(and N more since
    // the last line)"), once they count `expected` or after the time-out.
    Counted refusals(const std::string& line, size_t expected, int timeout_ms = 20000);
    std::string out() const;
    std::string err() const;
    std::vector<std::string> out_lines() const; // split on '\n', no empty tail
    std::vector<std::string> err_lines() const;
    // The "[memory]" lines of the last message: the viewing state it left.
    std::string last_view() const;

    void sigint();
    // Exit code, -signal if killed by one, or kExitTimeout (then SIGKILLed).
    int wait_exit(int timeout_ms = 20000);
    bool running();
    pid_t pid() const { return pid_; }

private:
    bool reap(bool block);
    bool listening() const;
    void read_loop();
    void drain();
    bool wait_text(const std::string& text, const std::string& needle, int timeout_ms,
                   size_t occurrences);

    TestEnv& env_;
    std::vector<std::string> extra_env_, launcher_, args_;
    unsigned port_ = 5003;
    pid_t pid_ = -1;
    int listen_fd_ = -1, pty_ = -1;
    bool reaped_ = false;
    int status_ = 0;
    int out_fd_ = -1, err_fd_ = -1, wake_[2] = {-1, -1};
    std::thread reader_;
    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::string out_, err_;
    size_t handled_ = 0; // "[memory] currentUser: " lines on stdout so far
};

// ---- Processes ------------------------------------------------------------

// A program run to its end: exit code (or -signal), and what it wrote.
struct Ran {
    int status;
    std::string out, err;
};
// Runs argv (a path, or a name searched on PATH) with input on its stdin and
// "K=V" entries added to the environment; SIGKILLed after timeout_ms (status
// kExitTimeout).
Ran run(const std::vector<std::string>& argv, const std::string& input = "",
        const std::vector<std::string>& extra_env = {}, int timeout_ms = 60000);
// This process's environment with the "K=V" entries of extra put in place of
// the same keys.
std::vector<std::string> merged_env(const std::vector<std::string>& extra);

std::vector<pid_t> pids_named(const std::string& comm); // live processes only, not zombies
std::vector<pid_t> zombie_children_of(pid_t parent);
// Every child of `parent` with its state letter from /proc (Z: a zombie).
std::vector<std::pair<pid_t, char>> children_of(pid_t parent);
// The open descriptors of `pid` and what each refers to ("socket:[123]", a path).
std::map<int, std::string> fds_of(pid_t pid);
// Resident memory of `pid` in KiB (VmRSS), or -1.
long rss_kib(pid_t pid);

// The argv of the n-th run (from 0) of prog, once it has been recorded (a
// one-word argv saying it was not, after the wait).
std::vector<std::string> nth_run(const TestEnv& env, const std::string& prog, size_t n);
// The welcome's render as the daemon must start it: the picture in pictures/,
// the users' and the channels' captions, out.jpg.
std::vector<std::string> convert_argv(const std::string& picture, const std::string& users,
                                      const std::string& channels);

// A stand-in: "#!/bin/sh", body, mode 0755 (in place of a stand-in's link).
void write_script(const std::string& path, const std::string& body);

// ---- Messages -------------------------------------------------------------

// <user><name>..</name><command>..</command>[<presence>..</presence>][<probability>..</probability>]</user>;
// an empty argument leaves its element out.
std::string user_xml(const std::string& name, const std::string& command,
                     const std::string& presence = "", const std::string& probability = "");
// <m><a/><users>users_inner</users></m> - users is the root's second child node.
std::string message(const std::string& users_inner);

} // namespace vt
