#include "harness.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mysql.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace vt {
namespace {

// A real 1x1 black JPEG, so that a test using the system's convert can read it.
const std::string kJpeg("\xff\xd8\xff\xe0\x00\x10\x4a\x46\x49\x46\x00\x01\x01\x00\x00\x01\x00\x01"
                        "\x00\x00\xff\xdb\x00\x43"
                        "\x00\x10\x0b\x0c\x0e\x0c\x0a\x10\x0e\x0d\x0e\x12\x11\x10\x13\x18\x28\x1a"
                        "\x18\x16\x16\x18\x31\x23"
                        "\x25\x1d\x28\x3a\x33\x3d\x3c\x39\x33\x38\x37\x40\x48\x5c\x4e\x40\x44\x57"
                        "\x45\x37\x38\x50\x6d\x51"
                        "\x57\x5f\x62\x67\x68\x67\x3e\x4d\x71\x79\x70\x64\x78\x5c\x65\x67\x63\xff"
                        "\xc0\x00\x0b\x08\x00\x01"
                        "\x00\x01\x01\x01\x11\x00\xff\xc4\x00\x14\x00\x01\x00\x00\x00\x00\x00\x00"
                        "\x00\x00\x00\x00\x00\x00"
                        "\x00\x00\x00\x07\xff\xc4\x00\x14\x10\x01\x00\x00\x00\x00\x00\x00\x00\x00"
                        "\x00\x00\x00\x00\x00\x00"
                        "\x00\x00\xff\xda\x00\x08\x01\x01\x00\x00\x3f\x00\x3f\x7f\xff\xd9",
                        160);

const char* const kStandins[] = {"mplayer", "convert", "fbsetbg", "notify-send", "amixer"};
const char* const kMarker = "[memory] currentUser: ";

std::runtime_error fail(const std::string& what)
{
    return std::runtime_error("vt: " + what);
}
std::string errno_text()
{
    return std::strerror(errno);
}

bool read_file(const std::string& path, std::string& out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream ss;
    ss << in.rdbuf();
    out = ss.str();
    return true;
}

std::string slurp(const std::string& path)
{
    std::string text;
    if (!read_file(path, text))
        throw fail("cannot read " + path);
    return text;
}

void write_file(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out.flush())
        throw fail("cannot write " + path);
}

std::vector<std::string> split(const std::string& text, char sep)
{
    std::vector<std::string> parts;
    size_t pos = 0;
    for (size_t at; (at = text.find(sep, pos)) != std::string::npos; pos = at + 1)
        parts.push_back(text.substr(pos, at - pos));
    parts.push_back(text.substr(pos));
    return parts;
}

std::vector<std::string> lines_of(const std::string& text)
{
    if (text.empty())
        return {};
    auto lines = split(text, '\n');
    if (lines.back().empty())
        lines.pop_back();
    return lines;
}

size_t count_of(const std::string& text, const std::string& needle)
{
    if (needle.empty())
        return 0;
    size_t n = 0;
    for (size_t pos = 0; (pos = text.find(needle, pos)) != std::string::npos; pos += needle.size())
        ++n;
    return n;
}

std::string basename_of(const std::string& path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string unescape(const std::string& field)
{
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] != '\\' || i + 1 == field.size()) {
            out += field[i];
            continue;
        }
        switch (field[++i]) {
        case 't':
            out += '\t';
            break;
        case 'n':
            out += '\n';
            break;
        case 'r':
            out += '\r';
            break;
        default:
            out += field[i]; // "\\" and anything unexpected
        }
    }
    return out;
}

int exit_code(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return -WTERMSIG(status);
    return kExitTimeout;
}

std::string tail(const std::string& text, size_t max = 2000)
{
    return text.size() <= max ? text : "..." + text.substr(text.size() - max);
}

// /proc/<pid>/stat: "pid (comm) S ppid ..."; comm may itself hold ") ".
bool proc_stat(pid_t pid, std::string& comm, char& state, pid_t& ppid)
{
    std::string stat;
    if (!read_file("/proc/" + std::to_string(pid) + "/stat", stat))
        return false;
    size_t open = stat.find('('), close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open ||
        close + 4 > stat.size())
        return false;
    comm = stat.substr(open + 1, close - open - 1);
    state = stat[close + 2];
    ppid = static_cast<pid_t>(std::atol(stat.c_str() + close + 4));
    return true;
}

std::vector<pid_t> all_pids()
{
    std::vector<pid_t> pids;
    if (DIR* d = opendir("/proc")) {
        while (dirent* e = readdir(d)) {
            char* end;
            long pid = std::strtol(e->d_name, &end, 10);
            if (*end == '\0' && pid > 0)
                pids.push_back(static_cast<pid_t>(pid));
        }
        closedir(d);
    }
    return pids;
}

bool live(pid_t pid)
{
    std::string comm;
    char state;
    pid_t ppid;
    return proc_stat(pid, comm, state, ppid) && state != 'Z' && state != 'X';
}

// ---- Database ---------------------------------------------------------------

class Db {
public:
    Db()
    {
        // Without it the library would fall back to the machine's own server.
        const char* sock = std::getenv("MYSQL_UNIX_PORT");
        if (!sock || !*sock)
            throw fail("MYSQL_UNIX_PORT is not set; tests only use the private server (run them "
                       "via ctest)");
        db_ = mysql_init(nullptr);
        if (!db_)
            throw fail("mysql_init failed");
        if (!mysql_real_connect(db_, "localhost", "root", "lampaNaSTOLe42", "dvb", 0, sock,
                                CLIENT_MULTI_STATEMENTS)) {
            std::string e = mysql_error(db_);
            mysql_close(db_);
            throw fail("cannot connect to the test database at " + std::string(sock) + ": " + e);
        }
    }
    ~Db() { mysql_close(db_); }
    Db(const Db&) = delete;
    Db& operator=(const Db&) = delete;

    // Runs one or more statements; returns the rows of the first result set.
    std::vector<std::vector<std::string>> run(const std::string& sql, const std::string& label)
    {
        if (mysql_real_query(db_, sql.data(), sql.size()))
            throw error(label);
        std::vector<std::vector<std::string>> rows;
        bool have_rows = false;
        for (;;) {
            if (MYSQL_RES* res = mysql_store_result(db_)) {
                if (!have_rows) {
                    have_rows = true;
                    unsigned n = mysql_num_fields(res);
                    while (MYSQL_ROW row = mysql_fetch_row(res)) {
                        unsigned long* len = mysql_fetch_lengths(res);
                        std::vector<std::string> r;
                        for (unsigned i = 0; i < n; ++i)
                            r.push_back(row[i] ? std::string(row[i], len[i]) : "NULL");
                        rows.push_back(std::move(r));
                    }
                }
                mysql_free_result(res);
            } else if (mysql_field_count(db_) != 0) {
                throw error(label);
            }
            int more = mysql_next_result(db_);
            if (more > 0)
                throw error(label);
            if (more < 0)
                break;
        }
        return rows;
    }

private:
    std::runtime_error error(const std::string& label)
    {
        return fail("SQL failed (" + label + "): " + mysql_error(db_));
    }
    MYSQL* db_ = nullptr;
};

std::string sql_label(const std::string& sql)
{
    return sql.size() <= 200 ? sql : sql.substr(0, 200) + "...";
}

std::string xml_escape(const std::string& value)
{
    std::string out;
    for (char c : value) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

} // namespace

std::string standin_display()
{
    static const std::string display = [] {
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        for (int n = 1000 + getpid() % 8000, tries = 0; fd >= 0 && tries < 100; ++n, ++tries) {
            const std::string name = "/tmp/.X11-unix/X" + std::to_string(n);
            sockaddr_un a{};
            a.sun_family = AF_UNIX;
            std::memcpy(a.sun_path + 1, name.data(), name.size());
            const auto len =
                static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
            // Held for the process's life; what connects waits in the queue.
            if (bind(fd, reinterpret_cast<sockaddr*>(&a), len) == 0 && listen(fd, SOMAXCONN) == 0)
                return ":" + std::to_string(n);
        }
        throw fail("standin_display: no free display number: " + errno_text());
    }();
    return display;
}

// ---- TestEnv ----------------------------------------------------------------

TestEnv::TestEnv(TestEnvOptions options) : options_(std::move(options))
{
    const char* tmp = std::getenv("TMPDIR");
    std::string templ = fs::absolute(tmp && *tmp ? tmp : "/tmp").string() + "/velmora-test.XXXXXX";
    if (!mkdtemp(templ.data()))
        throw fail("mkdtemp " + templ + ": " + errno_text());
    dir_ = templ;
    workdir_ = dir_ + "/work";
    bindir_ = dir_ + "/bin";
    logpath_ = dir_ + "/standin.log";
    try {
        fs::create_directories(workdir_ + "/pictures");
        fs::create_directories(bindir_);
        write_file(workdir_ + "/black.jpg", kJpeg);
        for (const char* name : {"black", "anna", "peter", "eva"})
            write_file(workdir_ + "/pictures/" + name + ".jpg", kJpeg);
        write_file(logpath_, "");
        for (const char* prog : kStandins) {
            if (options_.real_convert && std::string(prog) == "convert")
                continue;
            fs::create_symlink(VELMORA_STANDIN_BIN, bindir_ + "/" + prog);
        }
    } catch (...) {
        std::error_code ec;
        fs::remove_all(dir_, ec);
        throw;
    }
}

TestEnv::~TestEnv()
{
    // Stop only this env's players: recorded here, or started with our log.
    std::vector<pid_t> ours;
    for (const Invocation& inv : invocations_of("mplayer"))
        ours.push_back(inv.pid);
    const std::string mark = "VELMORA_STANDIN_LOG=" + logpath_;
    for (pid_t pid : pids_named("mplayer")) {
        std::string env;
        if (read_file("/proc/" + std::to_string(pid) + "/environ", env)) {
            for (const std::string& kv : split(env, '\0'))
                if (kv == mark)
                    ours.push_back(pid);
        }
    }
    for (pid_t pid : ours) {
        std::string comm;
        char state;
        pid_t ppid;
        if (proc_stat(pid, comm, state, ppid) && comm == "mplayer")
            kill(pid, SIGKILL);
    }
    // Let them go, so the next test does not see them still running.
    for (auto until = Clock::now() + std::chrono::seconds(2); Clock::now() < until;) {
        bool any = false;
        for (pid_t pid : ours)
            any = any || live(pid);
        if (!any)
            break;
        usleep(10000);
    }
    std::error_code ec;
    fs::remove_all(dir_, ec);
}

std::string TestEnv::write_config(const std::string& text, const std::string& name) const
{
    std::string path = dir_ + "/" + name;
    write_file(path, text);
    return path;
}

std::string TestEnv::path_env() const
{
    const char* path = std::getenv("PATH");
    return bindir_ + ":" + (path ? path : "/usr/local/bin:/usr/bin:/bin");
}

std::vector<Invocation> TestEnv::invocations() const
{
    std::string text;
    read_file(logpath_, text);
    std::vector<Invocation> result;
    size_t pos = 0;
    // A line is only complete with its newline.
    for (size_t end; (end = text.find('\n', pos)) != std::string::npos; pos = end + 1) {
        auto fields = split(text.substr(pos, end - pos), '\t');
        Invocation inv{static_cast<pid_t>(std::atol(fields[0].c_str())), {}};
        for (size_t i = 1; i < fields.size(); ++i)
            inv.argv.push_back(unescape(fields[i]));
        result.push_back(std::move(inv));
    }
    return result;
}

std::vector<Invocation> TestEnv::invocations_of(const std::string& prog) const
{
    std::vector<Invocation> result;
    for (Invocation& inv : invocations())
        if (!inv.argv.empty() && basename_of(inv.argv[0]) == prog)
            result.push_back(std::move(inv));
    return result;
}

bool TestEnv::wait_invocations_of(const std::string& prog, size_t count, int timeout_ms) const
{
    auto until = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (invocations_of(prog).size() >= count)
            return true;
        if (Clock::now() >= until)
            return false;
        usleep(10000);
    }
}

// ---- Database -----------------------------------------------------------------

void reset_database()
{
    Db db;
    for (const char* file : {"/db/schema.sql", "/db/household.sql"}) {
        std::string path = std::string(VELMORA_SOURCE_DIR) + file;
        db.run(slurp(path), path);
    }
}

std::vector<std::vector<std::string>> db_rows(const std::string& sql)
{
    return Db().run(sql, sql_label(sql));
}

void db_exec(const std::string& sql)
{
    Db().run(sql, sql_label(sql));
}

bool db_taken_as(const std::string& option_file, const std::string& database,
                 const std::string& sql)
{
    std::unique_ptr<MYSQL, decltype(&mysql_close)> db(mysql_init(nullptr), mysql_close);
    mysql_options(db.get(), MYSQL_READ_DEFAULT_FILE, option_file.c_str());
    mysql_options(db.get(), MYSQL_READ_DEFAULT_GROUP, "velmora");
    bool taken =
        mysql_real_connect(db.get(), nullptr, nullptr, nullptr, database.c_str(), 0, nullptr, 0) &&
        mysql_real_query(db.get(), sql.data(), sql.size()) == 0;
    mysql_free_result(mysql_store_result(db.get()));
    return taken;
}

std::string sql_quote(const std::string& value)
{
    std::string out = "'";
    for (char c : value) {
        switch (c) {
        case '\0':
            out += "\\0";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\x1a':
            out += "\\Z";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\'':
            out += "\\'";
            break;
        case '"':
            out += "\\\"";
            break;
        default:
            out += c;
        }
    }
    return out + "'";
}

std::string user_state(const std::string& name)
{
    auto rows = db_rows("SELECT s.state FROM users u JOIN userHasState h ON h.idu = u.id JOIN "
                        "states s ON s.id = h.ids"
                        " WHERE u.name = " +
                        sql_quote(name));
    return rows.empty() ? "" : rows[0][0];
}

std::string user_last(const std::string& name)
{
    auto rows = db_rows("SELECT c.name FROM users u JOIN userHasLast l ON l.idu = u.id LEFT JOIN "
                        "channels c ON c.id = l.idc"
                        " WHERE u.name = " +
                        sql_quote(name));
    return rows.empty() ? "NULL" : rows[0][0];
}

void set_online(std::initializer_list<std::string> names)
{
    Db db;
    for (const std::string& name : names) {
        std::string q = sql_quote(name);
        if (db.run("SELECT id FROM users WHERE name = " + q, "set_online").empty())
            throw fail("set_online: no user " + q);
        db.run("INSERT INTO userHasState (idu, ids) SELECT u.id, s.id FROM users u, states s"
               " WHERE u.name = " +
                   q + " AND s.state = 'online' ON DUPLICATE KEY UPDATE ids = VALUES(ids)",
               "set_online " + q);
    }
}

FrozenDatabase::FrozenDatabase()
{
    const char* sock = std::getenv("MYSQL_UNIX_PORT");
    if (!sock || !*sock)
        throw fail("FrozenDatabase: MYSQL_UNIX_PORT is not set");
    std::string pidfile = fs::path(sock).parent_path().string() + "/mysqld.pid";
    pid_ = static_cast<pid_t>(std::atol(slurp(pidfile).c_str()));
    if (pid_ <= 0 || kill(pid_, SIGSTOP) != 0)
        throw fail("FrozenDatabase: cannot stop the server named in " + pidfile);
}

FrozenDatabase::~FrozenDatabase()
{
    kill(pid_, SIGCONT);
}

// ---- Daemon ---------------------------------------------------------------------

Daemon::Daemon(TestEnv& env, std::vector<std::string> extra_env, std::vector<std::string> launcher)
    : env_(env), extra_env_(std::move(extra_env)), launcher_(std::move(launcher))
{
}

Daemon::~Daemon()
{
    if (pid_ > 0 && !reap(false)) {
        kill(pid_, SIGKILL);
        reap(true);
    }
    // Its children (players) may hold the pipes open: stop the reader, don't wait for EOF.
    if (reader_.joinable()) {
        char c = 0;
        ssize_t n = write(wake_[1], &c, 1);
        (void)n;
        reader_.join();
    }
    for (int fd : {out_fd_, err_fd_, wake_[0], wake_[1], pty_})
        if (fd >= 0)
            close(fd);
}

void Daemon::spawn()
{
    if (pid_ > 0)
        throw fail("Daemon::spawn: already started (use a new Daemon to restart)");

    // XDG_CONFIG_HOME: no settings file of the machine's user is read.
    std::vector<std::string> vars = {"PATH=" + env_.path_env(),
                                     "VELMORA_STANDIN_LOG=" + env_.logpath(),
                                     "XDG_CONFIG_HOME=" + env_.dir(),
                                     "DISPLAY=" + standin_display()};
    if (!env_.options().standin_status.empty())
        vars.push_back("VELMORA_STANDIN_STATUS=" + env_.options().standin_status);
    if (listen_fd_ >= 0) // the pid is filled in by the child
        vars.insert(vars.end(), {"LISTEN_FDS=1", "LISTEN_PID=" + std::string(20, '0')});
    vars.insert(vars.end(), extra_env_.begin(), extra_env_.end());
    auto key = [](const std::string& kv) { return kv.substr(0, kv.find('=')); };
    std::vector<std::string> envs;
    for (char** e = environ; *e; ++e)
        if (key(*e) != "VELMORA_STANDIN_STATUS")
            envs.push_back(*e); // only the env's own status counts
    // Ours replace inherited values, and later extra_env entries win.
    for (const std::string& v : vars) {
        for (auto it = envs.begin(); it != envs.end();)
            it = key(*it) == key(v) ? envs.erase(it) : it + 1;
        envs.push_back(v);
    }
    // Built before fork: the child must not allocate.
    std::vector<char*> envp;
    char* listen_pid = nullptr;
    for (std::string& s : envs) {
        envp.push_back(s.data());
        if (listen_fd_ >= 0 && key(s) == "LISTEN_PID")
            listen_pid = s.data() + s.find('=') + 1;
    }
    envp.push_back(nullptr);
    const int listen_fd = listen_fd_;
    std::vector<std::string> args = launcher_;
    args.push_back(VELMORA_SERVER_BIN);
    args.insert(args.end(), args_.begin(), args_.end());
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::string workdir = env_.workdir();

    int out[2], err[2], terminal = -1;
    if (pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC) || pipe2(wake_, O_CLOEXEC))
        throw fail("pipe2: " + errno_text());
    if (env_.options().on_terminal && openpty(&pty_, &terminal, nullptr, nullptr, nullptr) != 0)
        throw fail("openpty: " + errno_text());
    pid_ = fork();
    if (pid_ < 0)
        throw fail("fork: " + errno_text());
    if (pid_ == 0) {
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        int in = terminal >= 0 ? terminal : open("/dev/null", O_RDONLY);
        if (terminal >= 0 && (setsid() < 0 || ioctl(terminal, TIOCSCTTY, 0) < 0))
            _exit(126);
        if (in < 0 || dup2(in, 0) < 0 || dup2(out[1], 1) < 0 || dup2(err[1], 2) < 0)
            _exit(126);
        if (listen_fd >= 0) {
            char digits[24];
            int n = 0;
            for (pid_t p = getpid(); p > 0; p /= 10)
                digits[n++] = static_cast<char>('0' + p % 10);
            for (int i = 0; i < n; ++i)
                listen_pid[i] = digits[n - 1 - i];
            listen_pid[n] = '\0';
            // dup2 onto itself would keep close-on-exec.
            if (listen_fd == 3 ? fcntl(3, F_SETFD, 0) < 0 : dup2(listen_fd, 3) < 0)
                _exit(126);
        }
        closefrom(listen_fd >= 0 ? 4 : 3);
        if (chdir(workdir.c_str()) == 0)
            execvpe(argv[0], argv.data(), envp.data());
        static const char msg[] = "vt: cannot start velmora-server\n";
        ssize_t n = write(2, msg, sizeof msg - 1);
        (void)n;
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    close(terminal);
    out_fd_ = out[0];
    err_fd_ = err[0];
    for (int fd : {out_fd_, err_fd_})
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    reader_ = std::thread(&Daemon::read_loop, this);
}

void Daemon::start(int timeout_ms, bool startup_lines)
{
    spawn();
    auto until = Clock::now() + std::chrono::milliseconds(timeout_ms);
    auto left = [&] {
        return static_cast<int>(std::max<long>(
            0,
            std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count()));
    };
    const std::string seconds = std::to_string(timeout_ms / 1000);
    for (;;) {
        if (listening())
            break;
        if (reap(false)) {
            drain();
            throw fail("velmora-server exited (" + std::to_string(exit_code(status_)) +
                       ") before listening on " + std::to_string(port_) + "; stderr:\n" +
                       tail(err()));
        }
        if (Clock::now() >= until)
            throw fail("velmora-server did not listen on " + std::to_string(port_) + " within " +
                       seconds + " s; stderr:\n" + tail(err()));
        usleep(10000);
    }
    // The screen restore comes before the listener, but its lines may still
    // be on their way: a test's marks on stdout must come after them.
    if (startup_lines && !wait_stdout("[background] restored\n", left()))
        throw fail("no start-up lines from velmora-server within " + seconds + " s; stdout:\n" +
                   tail(out()));
}

// Looks at the socket table instead of connecting: a connection counts as a message.
bool Daemon::listening() const
{
    std::vector<std::string> inodes;
    char port[8];
    std::snprintf(port, sizeof port, ":%04X", port_);
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::string text;
        if (!read_file(table, text))
            continue;
        for (const std::string& line : lines_of(text)) {
            std::istringstream in(line);
            std::string sl, local, remote, st, queues, timer, retr, uid, timeout, inode;
            if (!(in >> sl >> local >> remote >> st >> queues >> timer >> retr >> uid >> timeout >>
                  inode))
                continue;
            if (st == "0A" && local.size() > 5 && local.compare(local.size() - 5, 5, port) == 0)
                inodes.push_back("socket:[" + inode + "]");
        }
    }
    if (inodes.empty())
        return false;
    // The listener must be our daemon, not a leftover from elsewhere.
    std::string fddir = "/proc/" + std::to_string(pid_) + "/fd";
    DIR* d = opendir(fddir.c_str());
    if (!d)
        return false;
    bool found = false;
    while (dirent* e = readdir(d)) {
        char target[64];
        ssize_t n = readlink((fddir + "/" + e->d_name).c_str(), target, sizeof target - 1);
        if (n <= 0)
            continue;
        target[n] = '\0';
        for (const std::string& s : inodes)
            found = found || s == target;
    }
    closedir(d);
    return found;
}

void Daemon::read_loop()
{
    pollfd fds[3] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        if (poll(fds, 3, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[2].revents)
            break;
        // stderr first, and one wake-up after both: the daemon writes a message's
        // stderr lines before its closing "[memory]" lines on stdout, so a waiter
        // woken by stdout finds the stderr that came before it.
        std::lock_guard<std::mutex> lock(mu_);
        for (int i : {1, 0}) {
            if (fds[i].fd < 0 || !fds[i].revents)
                continue;
            std::string& text = i == 0 ? out_ : err_;
            char buf[65536];
            for (;;) {
                ssize_t n = read(fds[i].fd, buf, sizeof buf);
                if (n > 0) {
                    size_t from =
                        text.size() >= strlen(kMarker) ? text.size() - strlen(kMarker) + 1 : 0;
                    text.append(buf, n);
                    if (i == 0)
                        handled_ += count_of(text.substr(from), kMarker);
                    continue;
                }
                if (n < 0 && errno == EINTR)
                    continue;
                if (n == 0 || errno != EAGAIN)
                    fds[i].fd = -1; // EOF: poll ignores negative fds
                break;
            }
        }
        cv_.notify_all();
    }
    std::lock_guard<std::mutex> lock(mu_);
    cv_.notify_all();
}

// After the daemon exited, take what it wrote even if a child keeps the pipe open.
void Daemon::drain()
{
    std::lock_guard<std::mutex> lock(mu_);
    char buf[65536];
    for (auto [fd, text] : {std::pair{out_fd_, &out_}, std::pair{err_fd_, &err_}}) {
        if (fd < 0)
            continue;
        for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR);)
            if (n > 0)
                text->append(buf, n);
    }
    cv_.notify_all();
}

int Daemon::connect_open()
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw fail("socket: " + errno_text());
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port_);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
        std::string e = errno_text();
        close(fd);
        throw fail("connect to 127.0.0.1:" + std::to_string(port_) + ": " + e);
    }
    return fd;
}

void Daemon::send(const std::string& bytes)
{
    int fd = connect_open();
    // The daemon may hang up early on hostile input; that is not the test's failure.
    for (size_t off = 0; off < bytes.size();) {
        ssize_t n = ::send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        off += static_cast<size_t>(n);
    }
    close(fd);
}

void Daemon::send_and_wait(const std::string& bytes, int timeout_ms)
{
    std::unique_lock<std::mutex> lock(mu_);
    size_t seen = handled_;
    lock.unlock();
    send(bytes);
    lock.lock();
    // A running count: rescanning all of stdout would make a long run quadratic.
    bool handled =
        cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return handled_ > seen; });
    lock.unlock();
    if (!handled)
        throw fail("no \"" + std::string(kMarker) + "\" within " + std::to_string(timeout_ms) +
                   " ms after the message (daemon " + (running() ? "running" : "exited") +
                   ")\nstdout:\n" + tail(out()) + "\nstderr:\n" + tail(err()));
}

bool Daemon::wait_text(const std::string& text, const std::string& needle, int timeout_ms,
                       size_t occurrences)
{
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                        [&] { return count_of(text, needle) >= occurrences; });
}

bool Daemon::wait_stdout(const std::string& needle, int timeout_ms, size_t occurrences)
{
    return wait_text(out_, needle, timeout_ms, occurrences);
}

bool Daemon::wait_stderr(const std::string& needle, int timeout_ms, size_t occurrences)
{
    return wait_text(err_, needle, timeout_ms, occurrences);
}

Counted Daemon::refusals(const std::string& line, size_t expected, int timeout_ms)
{
    Counted c;
    auto counted = [&] {
        c = {};
        std::istringstream in(err_);
        for (std::string l; std::getline(in, l);) {
            unsigned long more = 0;
            if (l.rfind(line, 0) == 0 &&
                (l == line || std::sscanf(l.c_str() + line.size(), " (and %lu more", &more) == 1))
                ++c.lines, c.refusals += 1 + more;
        }
        return c.refusals >= expected;
    };
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), counted);
    return c;
}

std::string Daemon::out() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return out_;
}

std::string Daemon::last_view() const
{
    const std::string text = out();
    const size_t at = std::min(text.rfind("[memory] currentChannel: "), text.size());
    return text.substr(at, text.find('\n', text.find('\n', at) + 1) + 1 - at);
}

std::string Daemon::err() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return err_;
}

std::vector<std::string> Daemon::out_lines() const
{
    return lines_of(out());
}
std::vector<std::string> Daemon::err_lines() const
{
    return lines_of(err());
}

void Daemon::sigint()
{
    if (pid_ > 0 && !reaped_)
        kill(pid_, SIGINT);
}

bool Daemon::reap(bool block)
{
    if (reaped_ || pid_ <= 0)
        return true;
    for (;;) {
        int status;
        pid_t r = waitpid(pid_, &status, block ? 0 : WNOHANG);
        if (r < 0 && errno == EINTR)
            continue;
        if (r == pid_)
            status_ = status;
        if (r == pid_ || r < 0)
            return reaped_ = true;
        return false;
    }
}

int Daemon::wait_exit(int timeout_ms)
{
    if (pid_ <= 0)
        throw fail("Daemon::wait_exit: not started");
    auto until = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!reap(false)) {
        if (Clock::now() >= until) {
            kill(pid_, SIGKILL);
            reap(true);
            drain();
            return kExitTimeout;
        }
        usleep(5000);
    }
    drain();
    return exit_code(status_);
}

bool Daemon::running()
{
    return pid_ > 0 && !reap(false);
}

// ---- Processes ------------------------------------------------------------------

std::vector<pid_t> pids_named(const std::string& comm)
{
    std::vector<pid_t> result;
    for (pid_t pid : all_pids()) {
        std::string c;
        char state;
        pid_t ppid;
        if (proc_stat(pid, c, state, ppid) && c == comm && state != 'Z' && state != 'X')
            result.push_back(pid);
    }
    return result;
}

std::vector<std::string> merged_env(const std::vector<std::string>& extra)
{
    auto key = [](const std::string& kv) { return kv.substr(0, kv.find('=')); };
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        env.push_back(*e);
    for (const std::string& v : extra) {
        for (auto it = env.begin(); it != env.end();)
            it = key(*it) == key(v) ? env.erase(it) : it + 1;
        env.push_back(v);
    }
    return env;
}

Ran run(const std::vector<std::string>& argv, const std::string& input,
        const std::vector<std::string>& extra_env, int timeout_ms)
{
    std::vector<std::string> envs = merged_env(extra_env);
    // Built before fork: the child must not allocate.
    std::vector<std::string> words = argv;
    std::vector<char*> args, envp;
    for (std::string& w : words)
        args.push_back(w.data());
    args.push_back(nullptr);
    for (std::string& e : envs)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    // Standard input is a memory file: nothing to feed, no SIGPIPE.
    int in = memfd_create("vt-stdin", MFD_CLOEXEC);
    if (in < 0 || write(in, input.data(), input.size()) != ssize_t(input.size()) ||
        lseek(in, 0, SEEK_SET) != 0)
        throw fail("stdin for " + argv.at(0) + ": " + errno_text());
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC))
        throw fail("pipe2: " + errno_text());
    pid_t pid = fork();
    if (pid < 0)
        throw fail("fork: " + errno_text());
    if (pid == 0) {
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        if (dup2(in, 0) < 0 || dup2(out[1], 1) < 0 || dup2(err[1], 2) < 0)
            _exit(126);
        closefrom(3);
        execvpe(args[0], args.data(), envp.data());
        static const char msg[] = "vt: cannot start the program\n";
        ssize_t n = write(2, msg, sizeof msg - 1);
        (void)n;
        _exit(127);
    }
    close(in);
    close(out[1]);
    close(err[1]);
    for (int fd : {out[0], err[0]})
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    Ran ran{0, "", ""};
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    auto until = Clock::now() + std::chrono::milliseconds(timeout_ms);
    bool timed_out = false;
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count());
        if (left <= 0) {
            timed_out = true;
            break;
        }
        if (poll(fds, 2, left) < 0 && errno != EINTR)
            break;
        for (int i : {0, 1}) {
            if (fds[i].fd < 0 || !fds[i].revents)
                continue;
            char buf[65536];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0)
                (i == 0 ? ran.out : ran.err).append(buf, n);
            else if (n == 0 || (errno != EAGAIN && errno != EINTR))
                close(fds[i].fd), fds[i].fd = -1;
        }
    }
    for (const pollfd& p : fds)
        if (p.fd >= 0)
            close(p.fd);
    if (timed_out)
        kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    ran.status = timed_out ? kExitTimeout : exit_code(status);
    return ran;
}

void write_script(const std::string& path, const std::string& body)
{
    fs::remove(path); // a stand-in's link: never write through it
    write_file(path, "#!/bin/sh\n" + body + "\n");
    fs::permissions(path, fs::perms(0755));
}

std::vector<pid_t> zombie_children_of(pid_t parent)
{
    std::vector<pid_t> result;
    for (pid_t pid : all_pids()) {
        std::string c;
        char state;
        pid_t ppid;
        if (proc_stat(pid, c, state, ppid) && state == 'Z' && ppid == parent)
            result.push_back(pid);
    }
    return result;
}

std::vector<std::pair<pid_t, char>> children_of(pid_t parent)
{
    std::vector<std::pair<pid_t, char>> result;
    for (pid_t pid : all_pids()) {
        std::string c;
        char state;
        pid_t ppid;
        if (proc_stat(pid, c, state, ppid) && ppid == parent)
            result.emplace_back(pid, state);
    }
    return result;
}

std::map<int, std::string> fds_of(pid_t pid)
{
    std::map<int, std::string> fds;
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            char target[512];
            ssize_t n = readlink((dir + "/" + e->d_name).c_str(), target, sizeof target);
            if (n > 0)
                fds[std::atoi(e->d_name)] = std::string(target, n);
        }
        closedir(d);
    }
    return fds;
}

long rss_kib(pid_t pid)
{
    std::string status;
    if (!read_file("/proc/" + std::to_string(pid) + "/status", status))
        return -1;
    size_t at = status.find("\nVmRSS:");
    return at == std::string::npos ? -1 : std::atol(status.c_str() + at + 8);
}

// ---- Messages -------------------------------------------------------------------

std::string user_xml(const std::string& name, const std::string& command,
                     const std::string& presence, const std::string& probability)
{
    std::string xml = "<user>";
    auto element = [&](const char* tag, const std::string& value) {
        if (!value.empty())
            xml += std::string("<") + tag + ">" + xml_escape(value) + "</" + tag + ">";
    };
    element("name", name);
    element("command", command);
    element("presence", presence);
    element("probability", probability);
    return xml + "</user>";
}

std::string message(const std::string& users_inner)
{
    return "<m><a/><users>" + users_inner + "</users></m>";
}

std::vector<std::string> nth_run(const TestEnv& env, const std::string& prog, size_t n)
{
    if (!env.wait_invocations_of(prog, n + 1))
        return {"<" + prog + " not run " + std::to_string(n + 1) + " times>"};
    return env.invocations_of(prog)[n].argv;
}

std::vector<std::string> convert_argv(const std::string& picture, const std::string& users,
                                      const std::string& channels)
{
    return {"convert",    "pictures/" + picture,
            "-fill",      "white",
            "-gravity",   "center",
            "-pointsize", "80",
            "-annotate",  "+0+0",
            "Welcome!",   "-gravity",
            "southwest",  "-pointsize",
            "20",         "-annotate",
            "+80+80",     users,
            "-annotate",  "+1100+80",
            channels,     "out.jpg"};
}

} // namespace vt
