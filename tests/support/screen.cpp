#include "screen.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>

#include "harness.hpp"

extern char** environ;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace vt {
namespace {

constexpr const char* kConvert = "/usr/bin/convert";

std::runtime_error fail(const std::string& what)
{
    return std::runtime_error("vt screen: " + what);
}

// Starts argv with each (from, to) descriptor pair dup'ed into place; the
// standard input is /dev/null.
pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env_extra,
            const std::vector<std::pair<int, int>>& dups)
{
    std::vector<std::string> env = merged_env(env_extra);
    std::vector<char*> args, envp;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (std::string& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    for (auto [from, to] : dups)
        posix_spawn_file_actions_adddup2(&actions, from, to);
    pid_t pid = -1;
    int r = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (r != 0)
        throw fail("cannot start " + argv[0] + ": " + std::strerror(r));
    return pid;
}

// Asks a child to end and collects it; one that does not end is killed.
void end_child(pid_t pid)
{
    if (pid <= 0)
        return;
    kill(pid, SIGTERM);
    for (auto until = Clock::now() + std::chrono::seconds(3); Clock::now() < until;) {
        pid_t r = waitpid(pid, nullptr, WNOHANG);
        if (r == pid || (r < 0 && errno != EINTR))
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    kill(pid, SIGKILL);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

// One line that a starting child writes on fd, without its line break; empty
// when the child ends or the time runs out first.
std::string read_line(int fd, int timeout_ms)
{
    std::string line;
    auto until = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        if (left <= 0)
            return "";
        pollfd p{fd, POLLIN, 0};
        int n = poll(&p, 1, static_cast<int>(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return "";
        char c;
        ssize_t got = read(fd, &c, 1);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return "";
        if (c == '\n')
            return line;
        line += c;
    }
}

struct Pipe {
    int fd[2] = {-1, -1};
    Pipe()
    {
        if (pipe2(fd, O_CLOEXEC) != 0)
            throw fail(std::string("pipe2: ") + std::strerror(errno));
    }
    ~Pipe() { close_both(); }
    void close_write()
    {
        if (fd[1] >= 0)
            close(fd[1]);
        fd[1] = -1;
    }
    void close_both()
    {
        close_write();
        if (fd[0] >= 0)
            close(fd[0]);
        fd[0] = -1;
    }
};

int open_log(const std::string& path)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        throw fail("cannot open " + path + ": " + std::strerror(errno));
    return fd;
}

Image parse_ppm(const std::string& ppm)
{
    // "P6", width, height, maxval, each after white space, then one white space.
    size_t pos = 0;
    auto number = [&]() {
        while (pos < ppm.size() &&
               (std::isspace(static_cast<unsigned char>(ppm[pos])) || ppm[pos] == '#')) {
            if (ppm[pos] == '#')
                pos = ppm.find('\n', pos);
            else
                ++pos;
        }
        size_t start = pos;
        while (pos < ppm.size() && std::isdigit(static_cast<unsigned char>(ppm[pos])))
            ++pos;
        return std::atoi(ppm.substr(start, pos - start).c_str());
    };
    if (ppm.compare(0, 2, "P6") != 0)
        throw fail("not a binary PPM picture");
    pos = 2;
    Image img;
    img.width = number();
    img.height = number();
    int maxval = number();
    ++pos;
    size_t bytes = static_cast<size_t>(img.width) * img.height * 3;
    if (maxval != 255 || pos + bytes > ppm.size())
        throw fail("unexpected PPM picture (maxval " + std::to_string(maxval) + ")");
    img.rgb = ppm.substr(pos, bytes);
    return img;
}

// The JSON string that starts at the quote at pos.
std::string json_string(const std::string& json, size_t pos)
{
    std::string out;
    for (size_t i = pos + 1; i < json.size(); ++i) {
        char c = json[i];
        if (c == '"')
            return out;
        if (c != '\\' || i + 1 >= json.size()) {
            out += c;
            continue;
        }
        char e = json[++i];
        switch (e) {
        case 'n':
            out += '\n';
            break;
        case 't':
            out += '\t';
            break;
        case 'r':
            out += '\r';
            break;
        case 'b':
            out += '\b';
            break;
        case 'f':
            out += '\f';
            break;
        case 'u': {
            unsigned cp =
                static_cast<unsigned>(std::strtoul(json.substr(i + 1, 4).c_str(), nullptr, 16));
            i += 4;
            if (cp < 0x80) {
                out += static_cast<char>(cp);
            } else if (cp < 0x800) {
                out += static_cast<char>(0xC0 | (cp >> 6));
                out += static_cast<char>(0x80 | (cp & 0x3F));
            } else {
                out += static_cast<char>(0xE0 | (cp >> 12));
                out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
                out += static_cast<char>(0x80 | (cp & 0x3F));
            }
            break;
        }
        default:
            out += e; // " \ /
        }
    }
    throw fail("unterminated JSON string");
}

// The "data" text of the field key in the entry that starts at from, and the
// position after it; npos when there is no further such field.
size_t field(const std::string& json, const std::string& key, size_t from, std::string& value)
{
    size_t at = json.find("\"" + key + "\"", from);
    if (at == std::string::npos)
        return at;
    size_t data = json.find("\"data\"", at);
    size_t quote = data == std::string::npos ? data : json.find('"', json.find(':', data));
    if (quote == std::string::npos)
        throw fail("no data for " + key + " in dunst's history");
    value = json_string(json, quote);
    return quote + 1;
}

bool on_path(const std::string& prog)
{
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    size_t pos = 0;
    while (pos <= dirs.size()) {
        size_t end = dirs.find(':', pos);
        if (end == std::string::npos)
            end = dirs.size();
        std::string dir = dirs.substr(pos, end - pos);
        if (access(((dir.empty() ? "." : dir) + "/" + prog).c_str(), X_OK) == 0)
            return true;
        pos = end + 1;
    }
    return false;
}

} // namespace

// ---- Pictures ---------------------------------------------------------------

Image read_image(const std::string& path)
{
    return parse_ppm(run_capture({kConvert, path, "-depth", "8", "ppm:-"}));
}

size_t differing_pixels(const Image& a, const Image& b, int tolerance)
{
    if (a.width != b.width || a.height != b.height || a.rgb.size() != b.rgb.size())
        return static_cast<size_t>(std::max(a.width * a.height, b.width * b.height));
    size_t n = 0;
    for (size_t i = 0; i + 2 < a.rgb.size(); i += 3) {
        for (size_t k = i; k < i + 3; ++k) {
            int d = static_cast<unsigned char>(a.rgb[k]) - static_cast<unsigned char>(b.rgb[k]);
            if (d > tolerance || d < -tolerance) {
                ++n;
                break;
            }
        }
    }
    return n;
}

// ---- Programs -----------------------------------------------------------------

std::string run_capture(const std::vector<std::string>& argv,
                        const std::vector<std::string>& env_extra)
{
    Pipe out;
    pid_t pid = spawn(argv, env_extra, {{out.fd[1], 1}});
    out.close_write();
    std::string text;
    char buf[65536];
    for (;;) {
        ssize_t n = read(out.fd[0], buf, sizeof buf);
        if (n > 0)
            text.append(buf, static_cast<size_t>(n));
        else if (n == 0 || errno != EINTR)
            break;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            throw fail("waitpid " + argv[0] + ": " + std::strerror(errno));
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw fail(argv[0] + " failed (wait status " + std::to_string(status) + ")");
    return text;
}

std::string missing_screen_programs()
{
    std::string missing;
    for (const char* prog : {"Xvfb", "dbus-daemon", "dbus-send", "dunst", "dunstctl", "fbsetbg",
                             "feh", "notify-send", "import"})
        if (!on_path(prog))
            missing += std::string(missing.empty() ? "" : " ") + prog;
    if (access(kConvert, X_OK) != 0)
        missing += std::string(missing.empty() ? "" : " ") + kConvert;
    return missing;
}

void use_real_screen_programs(TestEnv& env)
{
    for (const char* prog : {"convert", "fbsetbg", "notify-send"})
        fs::remove(env.bindir() + "/" + prog);
    // Another convert may come earlier on PATH; the daemon must get ImageMagick's.
    fs::create_symlink(kConvert, env.bindir() + "/convert");
    const std::string work = env.workdir();
    run_capture({kConvert, "-size", "1280x720", "xc:black", work + "/black.jpg"});
    fs::copy_file(work + "/black.jpg", work + "/pictures/black.jpg",
                  fs::copy_options::overwrite_existing);
    for (auto [name, colour] :
         {std::pair{"anna", "navy"}, std::pair{"peter", "darkgreen"}, std::pair{"eva", "purple"}})
        run_capture({kConvert, "-size", "1280x720", std::string("gradient:") + colour + "-black",
                     work + "/pictures/" + name + ".jpg"});
}

// ---- The screen -----------------------------------------------------------------

Screen::Screen(const std::string& dir)
{
    try {
        fs::create_directories(dir + "/home");
        fs::create_directories(dir + "/config");
        int log = open_log(dir + "/xvfb.log");
        Pipe ready;
        // Xvfb picks a free display and names it on fd 3 once it takes clients;
        // -noreset keeps the background when the last client goes.
        try {
            xvfb_ = spawn({"Xvfb", "-displayfd", "3", "-screen", "0", "1280x720x24", "-nolisten",
                           "tcp", "-noreset"},
                          {}, {{ready.fd[1], 3}, {log, 1}, {log, 2}});
        } catch (...) {
            close(log);
            throw;
        }
        close(log);
        ready.close_write();
        std::string display = read_line(ready.fd[0], 30000);
        if (display.empty())
            throw fail("Xvfb did not start (see " + dir + "/xvfb.log)");
        env_ = {"DISPLAY=:" + display, "XAUTHORITY=" + dir + "/Xauthority", "HOME=" + dir + "/home",
                "XDG_CONFIG_HOME=" + dir + "/config"};

        Pipe address;
        bus_ = spawn({"dbus-daemon", "--session", "--nofork", "--address=unix:path=" + dir + "/bus",
                      "--print-address=3"},
                     env_, {{address.fd[1], 3}});
        address.close_write();
        std::string bus = read_line(address.fd[0], 30000);
        if (bus.empty())
            throw fail("the session bus did not start");
        env_.push_back("DBUS_SESSION_BUS_ADDRESS=" + bus);

        log = open_log(dir + "/dunst.log");
        try {
            dunst_ = spawn({"dunst"}, env_, {{log, 1}, {log, 2}});
        } catch (...) {
            close(log);
            throw;
        }
        close(log);
        // notify-send reaches dunst once it owns the notifications name.
        for (auto until = Clock::now() + std::chrono::seconds(30);;) {
            std::string owner = run_capture({"dbus-send", "--session", "--print-reply",
                                             "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                                             "org.freedesktop.DBus.NameHasOwner",
                                             "string:org.freedesktop.Notifications"},
                                            env_);
            if (owner.find("boolean true") != std::string::npos)
                break;
            if (Clock::now() >= until || waitpid(dunst_, nullptr, WNOHANG) == dunst_)
                throw fail("dunst did not take the notifications name (see " + dir + "/dunst.log)");
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    } catch (...) {
        stop();
        throw;
    }
}

Screen::~Screen()
{
    stop();
}

void Screen::stop()
{
    end_child(dunst_);
    end_child(bus_);
    end_child(xvfb_);
    dunst_ = bus_ = xvfb_ = -1;
}

Image Screen::capture() const
{
    return parse_ppm(run_capture({"import", "-window", "root", "-depth", "8", "ppm:-"}, env_));
}

std::vector<Notification> Screen::notifications(size_t at_least) const
{
    std::vector<Notification> notes;
    for (auto until = Clock::now() + std::chrono::seconds(5);;) {
        // A notification moves to the history once it is closed; one that
        // dunst has not shown yet is closed on a later round.
        run_capture({"dunstctl", "close-all"}, env_);
        std::string json = run_capture({"dunstctl", "history"}, env_);
        notes.clear();
        Notification n;
        for (size_t pos = 0; (pos = field(json, "body", pos, n.body)) != std::string::npos;) {
            pos = field(json, "summary", pos, n.summary);
            if (pos == std::string::npos)
                throw fail("a notification without summary in dunst's history");
            notes.insert(notes.begin(), n); // the history lists the latest first
        }
        if (notes.size() >= at_least || Clock::now() >= until)
            return notes;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

} // namespace vt
