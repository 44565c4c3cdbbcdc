// End-to-end figures of the real daemon on this machine, beside two floors
// measured in the same run:
//   "last"        no database work            vs. a bare loop server (accept,
//                                                 read, one log line, close)
//   "list"        one connection, one query   vs. a Connector/C loop (connect,
//                                                 the online-users query, close)
//   join + leave  a presence cycle (two messages)
// For each: messages per second, and the median and 99th percentile of the
// time from connect to the daemon's close of the connection. All of them run
// in short turns, one after the other, so that a burst of other work on the
// machine does not fall on one side only. Last comes the daemon's resident
// memory beside programs that only initialise its client libraries.
//
// Where the scheduler puts the client and a server changes the figures more
// than the server's own work does: on a shared core a message costs the sum of
// both sides' work, on two cores it costs two wake-ups across cores, and left
// to itself the scheduler picks one or the other from run to run. So the
// client keeps to the first core and every server to the second, as a front
// end on another machine would be ("--placement split", the default when there
// are two cores); "--placement one" puts all of them on the first core, and
// "--placement free" leaves it to the scheduler.
//
// Run it with scripts/bench, which starts a private database (MYSQL_UNIX_PORT)
// and gives the run a private network namespace for port 5003. The daemon runs
// in a temporary directory with the recording stand-ins first on PATH; its log
// goes to /dev/null. Not a test: it only prints figures.
#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mysql.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "commands.hpp"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kDaemonPort = 5003, kBarePort = 5004;

[[noreturn]] void die(const std::string& what)
{
    std::fprintf(stderr, "velmora-e2e-bench: %s\n", what.c_str());
    std::exit(1);
}

std::string message(const std::string& name, const std::string& command,
                    const std::string& presence = "")
{
    std::string user = "<user><name>" + name + "</name><command>" + command + "</command>";
    if (!presence.empty())
        user += "<presence>" + presence + "</presence>";
    return "<m><a/><users>" + user + "</user></users></m>";
}

// One message: connect, send, wait until the server closes; microseconds.
double deliver(int port, const std::string& bytes)
{
    auto t0 = Clock::now();
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        die("connect to port " + std::to_string(port) + ": " + std::strerror(errno));
    if (send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) != ssize_t(bytes.size()))
        die("send: " + std::string(std::strerror(errno)));
    char c;
    while (read(fd, &c, 1) > 0) {
    }
    close(fd);
    return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

struct Figures {
    double per_second = 0, median_us = 0, p99_us = 0;
};

Figures figures(std::vector<double> us, double seconds)
{
    std::sort(us.begin(), us.end());
    Figures f;
    f.per_second = us.size() / seconds;
    f.median_us = us[us.size() / 2];
    f.p99_us = us[std::min(us.size() - 1, us.size() * 99 / 100)];
    return f;
}

bool listening(int port)
{
    char hex[8];
    std::snprintf(hex, sizeof hex, ":%04X", port);
    std::ifstream in("/proc/net/tcp");
    for (std::string line; std::getline(in, line);) {
        std::istringstream s(line);
        std::string sl, local, remote, st;
        if (s >> sl >> local >> remote >> st && st == "0A" && local.size() > 5 &&
            local.compare(local.size() - 5, 5, hex) == 0)
            return true;
    }
    return false;
}

void wait_listening(int port, pid_t pid)
{
    for (int i = 0; i < 2000 && !listening(port); ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid)
            die("the server on port " + std::to_string(port) + " ended before listening");
        usleep(10000);
    }
    if (!listening(port))
        die("nothing listens on port " + std::to_string(port));
}

// The core each side keeps to, or -1 for any.
int g_client_cpu = -1, g_server_cpu = -1;

void keep_to(int cpu)
{
    if (cpu < 0)
        return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    if (sched_setaffinity(0, sizeof set, &set) != 0)
        die("sched_setaffinity: " + std::string(std::strerror(errno)));
}

long rss_kib(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

// The daemon in a fresh directory with the stand-ins first on PATH, its log
// to /dev/null.
pid_t start_daemon(const fs::path& dir)
{
    fs::create_directories(dir / "work" / "pictures");
    fs::create_directories(dir / "bin");
    for (const char* f : {"black.jpg", "pictures/black.jpg", "pictures/anna.jpg"})
        std::ofstream(dir / "work" / f) << "jpeg";
    for (const char* prog : {"mplayer", "convert", "fbsetbg", "notify-send", "amixer"})
        fs::create_symlink(VELMORA_STANDIN_BIN, dir / "bin" / prog);
    std::string path = (dir / "bin").string() + ":" + std::getenv("PATH");
    pid_t pid = fork();
    if (pid == 0) {
        keep_to(g_server_cpu);
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        setenv("PATH", path.c_str(), 1);
        unsetenv("VELMORA_STANDIN_LOG");
        if (chdir((dir / "work").c_str()) == 0)
            execl(VELMORA_SERVER_BIN, VELMORA_SERVER_BIN, static_cast<char*>(nullptr));
        _exit(127);
    }
    wait_listening(kDaemonPort, pid);
    return pid;
}

// The bare loop server: accept, one read, one log line, close.
pid_t start_bare_loop()
{
    pid_t pid = fork();
    if (pid == 0) {
        keep_to(g_server_cpu);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        std::setvbuf(stderr, nullptr, _IOLBF, 0);
        int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), one = 1;
        setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(kBarePort);
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(s, 1) != 0)
            _exit(1);
        static char buf[1025];
        for (;;) {
            int c = accept(s, nullptr, nullptr);
            if (c < 0)
                continue;
            ssize_t n = read(c, buf, 1024);
            close(c);
            buf[n > 0 ? n : 0] = '\0';
            std::fprintf(stderr, "[RCV] %s\n", buf);
        }
    }
    wait_listening(kBarePort, pid);
    return pid;
}

// What the daemon does for "list online": connect, the online-users
// statement, read the rows, close.
double database_round()
{
    auto t0 = Clock::now();
    MYSQL* m = mysql_init(nullptr);
    mysql_options(m, MYSQL_SET_CHARSET_NAME, "utf8mb4");
    if (!mysql_real_connect(m, "localhost", "root", "lampaNaSTOLe42", "dvb", 0, nullptr,
                            CLIENT_MULTI_STATEMENTS))
        die("database: " + std::string(mysql_error(m)));
    static const char q[] =
        "SELECT users.name FROM users JOIN userHasState WHERE userHasState.ids IN (SELECT id "
        "FROM states WHERE state='online') AND userHasState.idu=users.id;";
    if (mysql_real_query(m, q, sizeof q - 1) != 0)
        die("query: " + std::string(mysql_error(m)));
    if (MYSQL_RES* r = mysql_store_result(m)) {
        while (mysql_fetch_row(r)) {
        }
        mysql_free_result(r);
    }
    mysql_close(m);
    return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

// The daemon's own "list" handler in this process: its database work and log
// line without the connection from the peer.
double list_in_process()
{
    static int null = open("/dev/null", O_WRONLY);
    int saved = dup(STDERR_FILENO);
    dup2(null, STDERR_FILENO);
    auto t0 = Clock::now();
    {
        Db db; // a message's unit of work: connected by the handler, closed at its end
        cmd_list(db, "online");
    }
    double us = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
    dup2(saved, STDERR_FILENO);
    close(saved);
    return us;
}

void print(const char* what, const Figures& f, const char* unit = "messages/s")
{
    std::printf("%-34s %9.0f %-11s median %8.1f us   p99 %8.1f us\n", what, f.per_second, unit,
                f.median_us, f.p99_us);
}

std::string run(const std::string& cmd)
{
    std::string out;
    if (FILE* p = popen(cmd.c_str(), "r")) {
        char buf[256];
        while (std::fgets(buf, sizeof buf, p))
            out += buf;
        pclose(p);
    }
    return out;
}

} // namespace

int main(int argc, char** argv)
{
    int n = 4000; // "last" messages in all
    const long cores = sysconf(_SC_NPROCESSORS_ONLN);
    std::string placement = cores >= 2 ? "split" : "free";
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--placement") == 0 && i + 1 < argc)
            placement = argv[++i];
        else if (std::atoi(argv[i]) > 0)
            n = std::atoi(argv[i]);
        else
            die(std::string("usage: velmora-e2e-bench [MESSAGES] [--placement split|one|free]"));
    }
    std::string where;
    if (placement == "split" && cores >= 2) {
        g_client_cpu = 0, g_server_cpu = 1;
        where = "client on core 0, servers on core 1";
    } else if (placement == "one") {
        g_client_cpu = g_server_cpu = 0;
        where = "client and servers on core 0";
    } else if (placement == "free") {
        where = "as the scheduler places them";
    } else {
        die("--placement " + placement + ": split (two cores or more), one or free");
    }
    keep_to(g_client_cpu);
    if (!std::getenv("MYSQL_UNIX_PORT"))
        die("MYSQL_UNIX_PORT is not set (run it with scripts/bench)");
    if (listening(kDaemonPort) || listening(kBarePort))
        die("ports 5003/5004 are taken here (run it with scripts/bench)");
    signal(SIGPIPE, SIG_IGN);

    char tmpl[] = "/tmp/velmora-bench.XXXXXX";
    if (!mkdtemp(tmpl))
        die("mkdtemp");
    const fs::path dir = tmpl;
    pid_t daemon = start_daemon(dir);
    pid_t bare = start_bare_loop();

    const std::string last = message("anna", "last"), list = message("anna", "list", "online");
    const std::string join = message("anna", "join"), leave = message("anna", "leave");
    // Warm up every path once.
    for (int i = 0; i < 50; ++i)
        deliver(kDaemonPort, last), deliver(kDaemonPort, list), deliver(kBarePort, last),
            database_round();

    // The cheap kinds run in short turns, one after the other, so that a
    // change in the machine's other load falls on all of them alike. The
    // daemon closes a connection before it handles the message, so a turn ends
    // with one more connection that the server has to take: the turn's last
    // message has then been handled. The join + leave cycles start programs
    // that run on after the message and go last, on their own.
    struct Kind {
        int per_turn, sync_port;
        std::function<double()> one;
        std::vector<double> us{};
        double seconds = 0;
    };
    Kind kinds[] = {
        {100, kBarePort, [&] { return deliver(kBarePort, last); }},
        {100, kDaemonPort, [&] { return deliver(kDaemonPort, last); }},
        {25, 0, [&] { return database_round(); }},
        {25, kDaemonPort, [&] { return deliver(kDaemonPort, list); }},
        {25, 0, [&] { return list_in_process(); }},
        {0, kDaemonPort, [&] { return deliver(kDaemonPort, join) + deliver(kDaemonPort, leave); }},
    };
    kinds[5].per_turn = std::max(1, n / 20);
    auto take_turn = [](Kind& k) {
        auto t0 = Clock::now();
        for (int i = 0; i < k.per_turn; ++i)
            k.us.push_back(k.one());
        if (k.sync_port)
            deliver(k.sync_port, message("anna", "last"));
        k.seconds += std::chrono::duration<double>(Clock::now() - t0).count();
    };
    for (int turn = 0; turn < std::max(1, n / 100); ++turn)
        for (int k = 0; k < 5; ++k)
            take_turn(kinds[k]);
    take_turn(kinds[5]);
    const long daemon_rss = rss_kib(daemon);
    // A floor varies by a hundred KiB from one start to the next (where the
    // libraries land decides which pages the kernel maps around a touched
    // one): the median of nine starts.
    auto floor_of = [](const char* program) {
        std::vector<long> kib;
        for (int i = 0; i < 9; ++i)
            kib.push_back(std::atol(run(program).c_str()));
        std::sort(kib.begin(), kib.end());
        return kib[kib.size() / 2];
    };
    const long floor_kib = floor_of(VELMORA_LIBFLOOR_BIN);
    const long floor_sd_kib = floor_of(VELMORA_LIBFLOOR_SD_BIN);

    kill(daemon, SIGINT);
    kill(bare, SIGKILL);
    waitpid(daemon, nullptr, 0);
    waitpid(bare, nullptr, 0);
    fs::remove_all(dir);

    Figures bare_f = figures(kinds[0].us, kinds[0].seconds);
    Figures last_f = figures(kinds[1].us, kinds[1].seconds);
    Figures floor_f = figures(kinds[2].us, kinds[2].seconds);
    Figures list_f = figures(kinds[3].us, kinds[3].seconds);
    Figures handler_f = figures(kinds[4].us, kinds[4].seconds);
    Figures cycle_f = figures(kinds[5].us, kinds[5].seconds);
    std::printf("velmora end-to-end: %d \"last\" messages, %d \"list\", %d join + leave cycles, "
                "in turns\n",
                n, n / 4, n / 20);
    std::printf("machine: %s", run("uname -srm").c_str());
    std::printf("cpu: %s",
                run("grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'").c_str());
    std::printf("cores: %ld, load average: %s", cores,
                run("cut -d' ' -f1-3 /proc/loadavg").c_str());
    std::printf("placement: %s\n", where.c_str());
    print("floor: bare loop server", bare_f);
    print("\"last\"", last_f);
    print("floor: connect + query + close", floor_f, "rounds/s");
    print("\"list\"", list_f);
    print("  its handler alone, in this process", handler_f, "calls/s");
    print("join + leave (two messages)", cycle_f, "cycles/s");
    std::printf("\"last\" / bare loop throughput: %.2f (target >= 0.85)\n",
                last_f.per_second / bare_f.per_second);
    std::printf("\"list\" / database floor time per message: %.2f (target <= 1.10)\n",
                floor_f.per_second / list_f.per_second);
    std::printf("  the handler alone / database floor: %.2f; \"list\" less \"last\" / database "
                "floor: %.2f\n",
                floor_f.per_second / handler_f.per_second,
                (1 / list_f.per_second - 1 / last_f.per_second) * floor_f.per_second);
    std::printf("resident memory: daemon %ld KiB after the run, library floor %ld KiB, "
                "difference %+ld KiB (target <= 1024)\n",
                daemon_rss, floor_kib, daemon_rss - floor_kib);
    std::printf("  with libsystemd in the floor: %ld KiB, difference %+ld KiB\n", floor_sd_kib,
                daemon_rss - floor_sd_kib);
    return 0;
}
