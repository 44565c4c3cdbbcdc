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

} // namespace

std::string web_load_key(const std::string& path)
{
    Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (fd.fd < 0 && errno == ENOENT) {
        unsigned char raw[16];
        if (getrandom(raw, sizeof raw, 0) != static_cast<ssize_t>(sizeof raw)) {
            std::perror("web: getrandom");
            return "";
        }
        std::string key;
        for (unsigned char b : raw) {
            static const char hex[] = "0123456789abcdef";
            key += hex[b >> 4];
            key += hex[b & 15];
        }
        Fd out(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
        const std::string line = key + "\n";
        if (out.fd < 0 || fchmod(out.fd, 0600) != 0 ||
            write(out.fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
            std::fprintf(stderr, "web: key file %s: %s\n", path.c_str(), std::strerror(errno));
            unlink(path.c_str());
            return "";
        }
        return key;
    }
    struct stat st;
    if (fd.fd < 0 || fstat(fd.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        std::fprintf(stderr, "web: key file %s: %s\n", path.c_str(),
                     fd.fd < 0 ? std::strerror(errno) : "not a regular file");
        return "";
    }
    char text[256];
    ssize_t n = read(fd.fd, text, sizeof text - 1);
    std::string key(text, n > 0 ? static_cast<std::size_t>(n) : 0);
    key = key.substr(0, key.find_first_of("\r\n"));
    if (key.size() < 16 || key.size() > 128 ||
        !std::all_of(key.begin(), key.end(), [](char c) { return unreserved(c); })) {
        std::fprintf(stderr,
                     "web: key file %s: its first line is no key (16 to 128 letters, digits, "
                     "'-', '_', '.' or '~')\n",
                     path.c_str());
        return "";
    }
    return key;
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
        return 1;
    const std::string url = "http://" + pair_host(settings.web) + ":" +
                            std::to_string(settings.web.listen.port) + "/pair?key=" + key;
    std::printf("Scan this code with the phone, or open %s\n\n%s", url.c_str(),
                qr_text(url).c_str());
    return 0;
}
