#include "tv_state.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "hex.hpp"
#include "log.hpp"
#include "net.hpp"
#include "secfunc.hpp"

namespace tv_state {

const char* const kFile = "velmora.state";

namespace {

// The viewing state's texts hold 19 bytes; so does every text of the file.
constexpr std::size_t TEXT_MAX = 19;
// A file of this form holds at most a few hundred bytes.
constexpr std::size_t FILE_MAX = 1024;
constexpr const char* kHeader = "velmora television state 1\n";
constexpr const char* kTemp = "velmora.state.new";

// What the file holds now; none while there is no file of ours.
std::optional<TvState> g_held;
bool g_removed = false;
bool g_write_failed = false;

std::string text_of(const TvState& s)
{
    auto line = [](const char* key, std::string_view value) {
        return std::string(key) + "=" + percentEncode(value, unreserved) + "\n";
    };
    return kHeader + line("user", s.user) + line("channel", s.channel) +
           line("playing", s.playing) + line("welcome", s.welcome ? "1" : "0");
}

// One "key=value" line of the text at `at`, the value percent-decoded and cut
// to TEXT_MAX; false when the line is not that key with such a value.
bool take(std::string_view text, std::size_t& at, const char* key, std::string& value)
{
    const std::size_t end = text.find('\n', at);
    const std::string prefix = std::string(key) + "=";
    if (end == std::string_view::npos || text.compare(at, prefix.size(), prefix) != 0)
        return false;
    std::string decoded;
    for (std::size_t i = at + prefix.size(); i < end; ++i) {
        const char c = text[i];
        if (c == '%' && i + 2 < end && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
            decoded += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else if (unreserved(static_cast<unsigned char>(c))) {
            decoded += c;
        } else {
            return false;
        }
    }
    value = cutText(decoded, TEXT_MAX);
    at = end + 1;
    return true;
}

std::optional<TvState> parse(std::string_view text)
{
    TvState s;
    std::string welcome;
    std::size_t at = std::strlen(kHeader);
    if (text.substr(0, at) != kHeader || !take(text, at, "user", s.user) ||
        !take(text, at, "channel", s.channel) || !take(text, at, "playing", s.playing) ||
        !take(text, at, "welcome", welcome) || (welcome != "0" && welcome != "1") ||
        at != text.size())
        return std::nullopt;
    s.welcome = welcome == "1";
    return s;
}

void ignored(const char* why)
{
    std::fprintf(stderr, "[resume] %s %s; ignored\n", kFile, why);
}

bool write_all(int fd, const std::string& text)
{
    for (std::size_t done = 0; done < text.size();) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// The new file beside the old one, renamed over it: an end at any instant
// leaves one of the two whole (also a power cut, where the file system
// writes a file renamed over another before the rename, as ext4 and btrfs
// do; a file cut short elsewhere is ignored at the start). No fsync: the
// serving thread never waits for the disk. A link or leftover of the
// temporary name is removed, never written through.
bool write_whole(const std::string& text)
{
    unlink(kTemp);
    Fd fd(open(kTemp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.fd < 0 || !write_all(fd.fd, text) || close(fd.release()) != 0 ||
        rename(kTemp, kFile) != 0) {
        const int error = errno;
        unlink(kTemp);
        errno = error;
        return false;
    }
    return true;
}

} // namespace

std::optional<TvState> read()
{
    Fd fd(open(kFile, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd.fd < 0) {
        if (errno == ELOOP)
            ignored("is a symbolic link");
        else if (errno != ENOENT)
            ignored(("cannot be read (" + std::string(std::strerror(errno)) + ")").c_str());
        return std::nullopt;
    }
    struct stat st {};
    if (fstat(fd.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ignored("is not a regular file");
        return std::nullopt;
    }
    char buf[FILE_MAX + 1];
    std::size_t got = 0;
    for (ssize_t n; got < sizeof buf && (n = ::read(fd.fd, buf + got, sizeof buf - got)) != 0;) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            ignored(("cannot be read (" + std::string(std::strerror(errno)) + ")").c_str());
            return std::nullopt;
        }
        got += static_cast<std::size_t>(n);
    }
    if (got > FILE_MAX) {
        ignored("is longer than a state file can be");
        return std::nullopt;
    }
    g_held = parse(std::string_view(buf, got));
    if (!g_held)
        ignored("is not a state file of this daemon");
    return g_held;
}

void keep(std::string_view user, std::string_view channel, std::string_view playing, bool welcome)
{
    if (g_removed)
        return;
    user = cutText(user, TEXT_MAX);
    channel = cutText(channel, TEXT_MAX);
    playing = cutText(playing, TEXT_MAX);
    if (g_held ? g_held->user == user && g_held->channel == channel && g_held->playing == playing &&
                     g_held->welcome == welcome
               : user.empty() && channel.empty() && playing.empty() && !welcome)
        return;
    TvState now{std::string(user), std::string(channel), std::string(playing), welcome};
    if (!write_whole(text_of(now))) {
        // Once until a write succeeds: a disk that is full says so once.
        if (!g_write_failed)
            std::fprintf(stderr, "[resume] cannot keep %s: %s\n", kFile, std::strerror(errno));
        g_write_failed = true;
        return;
    }
    g_write_failed = false;
    g_held = std::move(now);
}

void remove()
{
    g_removed = true;
    if (unlink(kFile) != 0 && errno != ENOENT)
        std::fprintf(stderr, "[resume] cannot remove %s: %s\n", kFile, std::strerror(errno));
}

} // namespace tv_state
