// Recording stand-in for the programs the daemon drives (mplayer, convert,
// fbsetbg, notify-send, amixer). Test dirs link those names to this binary.
//
// Each run appends one line to $VELMORA_STANDIN_LOG: the pid, then every argv
// element, TAB-separated, with \ TAB LF CR escaped as \\ \t \n \r.
// $VELMORA_STANDIN_STATUS ("prog=N,prog=N") picks the exit status per program;
// "prog=hang" makes it wait (after recording) until a signal ends it, and
// "prog=hang-noterm" ignores SIGTERM as well, so only SIGKILL ends it.
// $VELMORA_STANDIN_DELAY ("prog=MS,...") makes a program slow: convert takes
// MS milliseconds before it writes its output; mplayer, when stopped, lingers
// MS milliseconds and then records "mplayer:ended" before it ends.
// mplayer on a terminal input sets up its console there, as the real one does.
// convert fails (status 1, no output) when its input picture is missing.
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace {

std::string escape(const char* s)
{
    std::string out;
    for (; *s; ++s) {
        switch (*s) {
        case '\\':
            out += "\\\\";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            out += *s;
        }
    }
    return out;
}

void record(int argc, const char* const* argv)
{
    const char* path = std::getenv("VELMORA_STANDIN_LOG");
    if (!path || !*path)
        return;
    std::string line = std::to_string(getpid());
    for (int i = 0; i < argc; ++i)
        line += '\t' + escape(argv[i]);
    line += '\n';
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    // One write() so lines from concurrent stand-ins never interleave.
    ssize_t n;
    do
        n = write(fd, line.data(), line.size());
    while (n < 0 && errno == EINTR);
    close(fd);
}

// The text given for prog in a "prog=X,prog=X" variable, or "".
std::string setting_text(const char* variable, const std::string& prog)
{
    const char* wanted = std::getenv(variable);
    if (!wanted)
        return "";
    std::string all = wanted;
    size_t pos = 0;
    while (pos <= all.size()) {
        size_t end = all.find(',', pos);
        if (end == std::string::npos)
            end = all.size();
        std::string item = all.substr(pos, end - pos);
        size_t eq = item.find('=');
        if (eq != std::string::npos && item.substr(0, eq) == prog)
            return item.substr(eq + 1);
        pos = end + 1;
    }
    return "";
}

// The number given for prog in a "prog=N,prog=N" variable, or 0.
int setting(const char* variable, const std::string& prog)
{
    return static_cast<int>(std::strtol(setting_text(variable, prog).c_str(), nullptr, 10));
}

void sleep_ms(int ms)
{
    timespec t{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) < 0 && errno == EINTR) {
    }
}

int g_linger_ms = 0;

void linger_and_end(int)
{
    sleep_ms(g_linger_ms);
    static const char* const ended[] = {"mplayer:ended"};
    record(1, ended);
    _exit(0);
}

// A parent may have ignored or blocked signals, and that survives exec; the
// player must still die on the real `pkill mplayer` (SIGTERM) or Ctrl-C.
void default_signals()
{
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT})
        std::signal(sig, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

} // namespace

int main(int argc, char** argv)
{
    std::string prog = argc > 0 ? argv[0] : "";
    if (size_t slash = prog.rfind('/'); slash != std::string::npos)
        prog.erase(0, slash + 1);

    if (prog == "mplayer") {
        // Stay this very process (comm "mplayer") until someone kills it.
        default_signals();
        g_linger_ms = setting("VELMORA_STANDIN_DELAY", prog);
        if (g_linger_ms > 0)
            std::signal(SIGTERM, linger_and_end);
        termios console;
        if (isatty(0) && tcgetattr(0, &console) == 0)
            tcsetattr(0, TCSANOW, &console);
        record(argc, argv);
        for (;;)
            pause();
    }
    if (prog == "convert" && argc > 1 && access(argv[1], F_OK) != 0) {
        record(argc, argv);
        return 1;
    }
    if (prog == "convert" && argc > 1 && argv[argc - 1][0] != '-' && argv[argc - 1][0] != '\0') {
        sleep_ms(setting("VELMORA_STANDIN_DELAY", prog));
        // Write the output before recording, so a test that saw the call finds the file.
        int fd = open(argv[argc - 1], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd >= 0) {
            static const char bytes[] = "standin image\n";
            ssize_t n = write(fd, bytes, sizeof bytes - 1);
            (void)n;
            close(fd);
        }
    }
    record(argc, argv);
    std::string wanted = setting_text("VELMORA_STANDIN_STATUS", prog);
    if (wanted == "hang" || wanted == "hang-noterm") {
        default_signals();
        if (wanted == "hang-noterm")
            std::signal(SIGTERM, SIG_IGN);
        for (;;)
            pause();
    }
    return static_cast<int>(std::strtol(wanted.c_str(), nullptr, 10)) & 0xff;
}
