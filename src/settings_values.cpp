#include "settings_parts.hpp"

#include <sys/stat.h>

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sstream>
#include <unistd.h>

#include "log.hpp"
#include "settings.hpp"
#include "net.hpp"

namespace settings_parts {

// The first line of a password file.
constexpr std::size_t PASSWORD_MAX = 1024;

bool parse_port(const std::string& v, int& port)
{
    if (v.empty() || v.size() > 5 || v.find_first_not_of("0123456789") != std::string::npos)
        return false;
    port = std::atoi(v.c_str());
    return port >= 1 && port <= 65535;
}

// "ADDRESS:PORT" with a numeric IPv4 address or a bracketed IPv6 one.
bool parse_listen(const std::string& v, ListenAddress& out, std::string& why)
{
    std::string host, port;
    if (!v.empty() && v[0] == '[') {
        std::size_t close = v.find("]:");
        if (close == std::string::npos) {
            why = "expected [IPV6]:PORT";
            return false;
        }
        host = v.substr(1, close - 1);
        port = v.substr(close + 2);
        in6_addr a6;
        if (inet_pton(AF_INET6, host.c_str(), &a6) != 1) {
            why = "'" + host + "' is not an IPv6 address";
            return false;
        }
    } else {
        std::size_t colon = v.rfind(':');
        if (colon == std::string::npos) {
            why = "expected ADDRESS:PORT";
            return false;
        }
        host = v.substr(0, colon);
        port = v.substr(colon + 1);
        in_addr a4;
        if (inet_pton(AF_INET, host.c_str(), &a4) != 1) {
            why = "'" + host + "' is not an IPv4 address (IPv6 is written [ADDRESS]:PORT)";
            return false;
        }
    }
    if (!parse_port(port, out.port)) {
        why = "'" + port + "' is not a port (1-65535)";
        return false;
    }
    out.host = host;
    return true;
}

// A host name or address as it may stand in a URL: letters, digits, dots,
// dashes, or a bracketed IPv6 address.
bool valid_host(const std::string& v)
{
    if (v.size() > 2 && v.front() == '[' && v.back() == ']') {
        in6_addr a6;
        return inet_pton(AF_INET6, v.substr(1, v.size() - 2).c_str(), &a6) == 1;
    }
    return !v.empty() && v.size() <= 253 &&
           v.find_first_not_of(
               "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-") ==
               std::string::npos;
}

// A regular file, opened without blocking on a FIFO or a device; what is
// checked of it is what is then read. -1 with `why` set otherwise.
int open_regular(const std::string& path, struct stat& st, std::string& why)
{
    Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (fd.fd < 0 || fstat(fd.fd, &st) != 0) {
        why = std::strerror(errno);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        why = S_ISDIR(st.st_mode) ? "it is a directory" : "it is not a regular file";
        return -1;
    }
    return fd.release();
}

// `path` from the working directory when relative, written plainly: no "."
// or ".." steps and no doubled slashes.
std::string plain_absolute(const std::string& path)
{
    char cwd[PATH_MAX] = {};
    const std::string full = !path.empty() && path[0] == '/'
                                 ? path
                                 : std::string(getcwd(cwd, sizeof cwd) ? cwd : "") + "/" + path;
    std::vector<std::string> steps;
    for (std::size_t at = 0; at <= full.size();) {
        std::size_t end = full.find('/', at);
        if (end == std::string::npos)
            end = full.size();
        const std::string step = full.substr(at, end - at);
        if (step == "..") {
            if (!steps.empty())
                steps.pop_back();
        } else if (!step.empty() && step != ".") {
            steps.push_back(step);
        }
        at = end + 1;
    }
    std::string out;
    for (const std::string& step : steps)
        out += "/" + step;
    return out.empty() ? "/" : out;
}

// The folder a plain absolute path is in.
std::string folder_of(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

// A regular file copied to `to` when nothing is there yet; best effort.
void copy_new(const std::string& from, const std::string& to)
{
    Fd in(open(from.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (in.fd < 0 || fstat(in.fd, &st) != 0 || !S_ISREG(st.st_mode))
        return;
    Fd out(open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 0777));
    char buf[8192];
    for (ssize_t n; out.fd >= 0 && (n = read(in.fd, buf, sizeof buf)) > 0;)
        if (write(out.fd, buf, static_cast<std::size_t>(n)) != n)
            break;
}

// At most `max` bytes of the file open on `fd`, without following one that
// grows while it is read; false with `why` set when it cannot be read or
// holds more.
bool read_bounded(int fd, std::size_t max, std::string& text, std::string& why)
{
    text.assign(max + 1, '\0');
    std::size_t got = 0;
    while (got < text.size()) {
        ssize_t n = read(fd, text.data() + got, text.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            why = std::strerror(errno);
            return false;
        }
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    if (got > max) {
        why = "it is larger than " + std::to_string(max / 1024) + " KiB";
        return false;
    }
    text.resize(got);
    return true;
}

bool read_bounded(const std::string& path, std::size_t max, std::string& text, std::string& why)
{
    struct stat st {};
    Fd fd(open_regular(path, st, why));
    return fd.fd >= 0 && read_bounded(fd.fd, max, text, why);
}

bool readable_file(const std::string& path, std::string& why)
{
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || access(path.c_str(), R_OK) != 0) {
        why = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        why = path + " is not a file";
        return false;
    }
    return true;
}

// A television's name: 1 to NAME_MAX_BYTES bytes without a control
// character (C0, DEL or C1), so that it stands in a log line as it is.
bool valid_name(const std::string& v)
{
    return !v.empty() && v.size() <= NAME_MAX_BYTES && logSafe(v) == v;
}

std::string host_name()
{
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || !valid_name(name))
        return "localhost";
    return name;
}

// A topic prefix: levels of any text but the wildcards, none empty.
bool valid_prefix(const std::string& v)
{
    if (v.empty() || v.front() == '/' || v.back() == '/' || v.find("//") != std::string::npos)
        return false;
    return v.find_first_of("+#") == std::string::npos;
}

std::string default_prefix()
{
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || !name[0])
        std::strcpy(name, "localhost");
    std::string level;
    for (const char* p = name; *p; ++p)
        level += (std::strchr("+#/", *p) || static_cast<unsigned char>(*p) < 0x20) ? '_' : *p;
    return "velmora/" + level;
}

// The MQTT password, from a file that only its owner may read (as ssh refuses
// a key that others can read): the mode is the open file's, the one read.
bool read_password(const std::string& path, std::string& password, std::string& why)
{
    struct stat st {};
    std::string text;
    Fd fd(open_regular(path, st, why));
    if (fd.fd < 0) {
        why = "cannot read " + path + ": " + why;
        return false;
    }
    if (st.st_mode & (S_IRWXG | S_IRWXO)) {
        why = path + " is readable by group or others (chmod 600 it)";
        return false;
    }
    if (!read_bounded(fd.fd, PASSWORD_MAX, text, why)) {
        why = "cannot read " + path + ": " + why;
        return false;
    }
    password = text.substr(0, text.find_first_of("\r\n"));
    if (password.empty()) {
        why = path + " holds no password";
        return false;
    }
    return true;
}

} // namespace settings_parts
