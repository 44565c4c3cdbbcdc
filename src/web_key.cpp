#include "web_key.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <ifaddrs.h>
#include <memory>
#include <netinet/in.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <qrencode.h>

#include "hex.hpp"
#include "log.hpp"
#include "net.hpp"
#include "secfunc.hpp"

namespace {

struct QrFree {
    void operator()(QRcode* q) const { QRcode_free(q); }
};

// The address a phone reaches the page at: the first configured name, else
// the listen address, else the box's first IPv4 address that is not loopback.
std::string pair_host(const Settings::Web& web)
{
    const std::string& h = web.listen.host;
    if (!web.hosts.empty())
        return web.hosts.front();
    if (h != "0.0.0.0" && h != "::")
        return web.listen.ipv6() ? "[" + h + "]" : h;
    std::string found = "127.0.0.1";
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return found;
    for (ifaddrs* a = list; a; a = a->ifa_next) {
        if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET)
            continue;
        char text[INET_ADDRSTRLEN];
        auto* in = reinterpret_cast<sockaddr_in*>(a->ifa_addr);
        if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof text) &&
            std::strncmp(text, "127.", 4) != 0) {
            found = text;
            break;
        }
    }
    freeifaddrs(list);
    return found;
}

// The code in half blocks, two rows of modules to a line, light on dark with
// the colours set explicitly so that any terminal shows it scannable.
std::string qr_text(const std::string& url)
{
    std::unique_ptr<QRcode, QrFree> qr(
        QRcode_encodeString(url.c_str(), 0, QR_ECLEVEL_M, QR_MODE_8, 1));
    if (!qr)
        return "";
    const int quiet = 2, w = qr->width;
    auto light = [&](int x, int y) {
        x -= quiet;
        y -= quiet;
        return x < 0 || y < 0 || x >= w || y >= w || !(qr->data[y * w + x] & 1);
    };
    std::string out;
    for (int y = 0; y < w + 2 * quiet; y += 2) {
        out += "\033[97;40m";
        for (int x = 0; x < w + 2 * quiet; ++x) {
            bool top = light(x, y), bottom = light(x, y + 1);
            out += top && bottom ? "\u2588" : top ? "\u2580" : bottom ? "\u2584" : " ";
        }
        out += "\033[0m\n";
    }
    return out;
}

// Why the key file open on `fd` cannot be used ("" when it can; then `key`
// is its first line). Like ssh with a private key: a key that anyone but the
// daemon's user can read or change is no secret of the household's.
std::string key_problem(int fd, std::string& key)
{
    struct stat st;
    if (fd < 0)
        return errno == ELOOP ? "a symbolic link, not a file" : std::strerror(errno);
    if (fstat(fd, &st) != 0)
        return std::strerror(errno);
    if (!S_ISREG(st.st_mode))
        return "not a regular file";
    if (st.st_uid != geteuid())
        return "owned by uid " + std::to_string(st.st_uid) + ", not by the daemon's user (uid " +
               std::to_string(geteuid()) + ")";
    if (st.st_mode & (S_IRWXG | S_IRWXO))
        return "readable by group or others (chmod 600 it)";
    char text[256];
    ssize_t n = read(fd, text, sizeof text - 1);
    key.assign(text, n > 0 ? static_cast<std::size_t>(n) : 0);
    key = key.substr(0, key.find_first_of("\r\n"));
    if (key.size() < 16 || key.size() > 128 ||
        !std::all_of(key.begin(), key.end(), [](char c) { return unreserved(c); }))
        return "its first line is no key (16 to 128 letters, digits, '-', '_', '.' or '~')";
    return "";
}

// A new random key, written whole into a file of its own and then linked to
// `path`, so that the key file is never seen half written and a key that
// another process made meanwhile is kept (the link fails, and the caller
// reads theirs). "" or the problem.
std::string make_key(const std::string& path)
{
    unsigned char raw[16];
    if (getrandom(raw, sizeof raw, 0) != static_cast<ssize_t>(sizeof raw))
        return std::string("cannot make a key: ") + std::strerror(errno);
    std::string line;
    for (unsigned char b : raw)
        appendHex(line, b);
    line += '\n';
    std::string draft = path + ".XXXXXX";
    Fd out(mkostemp(draft.data(), O_CLOEXEC)); // mode 0600
    if (out.fd < 0)
        return std::string("cannot make it: ") + std::strerror(errno);
    std::string problem;
    if (write(out.fd, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
        problem = std::string("cannot make it: ") + std::strerror(errno);
    else if (link(draft.c_str(), path.c_str()) != 0 && errno != EEXIST)
        problem = std::string("cannot make it: ") + std::strerror(errno);
    unlink(draft.c_str());
    return problem;
}

} // namespace

std::string web_load_key(const std::string& path)
{
    auto open_key = [&] {
        return open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    };
    Fd fd(open_key());
    std::string key, problem;
    if (fd.fd < 0 && errno == ENOENT && (problem = make_key(path)).empty())
        fd.fd = open_key(); // ours, or one that another process made first
    if (problem.empty())
        problem = key_problem(fd.fd, key);
    if (problem.empty())
        return key;
    std::fprintf(stderr, "velmora-server: %s: %s\n", logSafe(path).c_str(), problem.c_str());
    return "";
}

int web_pair(const Settings& settings)
{
    if (!settings.web.enabled) {
        std::fprintf(stderr, "velmora-server: the web page is off: no [web] listen in %s\n",
                     settings.file.empty() ? "the settings (no settings file)"
                                           : settings.file.c_str());
        return 2;
    }
    if (!settings.server.workdir.empty() && chdir(settings.server.workdir.c_str()) != 0) {
        std::perror("velmora-server: workdir");
        return 1;
    }
    const std::string key = web_load_key(settings.web.key_file);
    if (key.empty())
        return 2;
    const std::string url = "http://" + pair_host(settings.web) + ":" +
                            std::to_string(settings.web.listen.port) + "/pair?key=" + key;
    std::printf("Scan this code with the phone, or open %s\n\n%s", url.c_str(),
                qr_text(url).c_str());
    return 0;
}
