// velmora-send: writes one message for the daemon on port 5003 and sends it.
//
// The document has the shape the daemon reads: a root element holding, without
// white space, an element naming this program and then `users`, one `user` per
// person. Every text is checked (UTF-8, characters XML allows) and escaped by
// libxml2 before anything is sent; a message over 1024 bytes is refused before
// connecting, since the daemon reads no more than that of a connection.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <iostream>
#include <iterator>
#include <memory>
#include <netdb.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include <libxml/chvalid.h>
#include <libxml/entities.h>
#include <libxml/xmlstring.h>

namespace {

constexpr std::size_t MESSAGE_MAX = 1024;
constexpr int CLOSE_WAIT_MS = 30000;
// Exit statuses: the message never left (bad arguments, a text the daemon
// could not read, too long), or it could not be delivered.
constexpr int EXIT_REFUSED = 2;
constexpr int EXIT_UNDELIVERED = 1;

const char* const kUsage =
    R"(usage: velmora-send [--host HOST] [--port PORT] USER [-- USER]...
       velmora-send [--host HOST] [--port PORT] --raw < message.xml

Sends one message to the Velmora daemon (default 127.0.0.1, port 5003).
A USER is  [--probability N] NAME [COMMAND [PRESENCE]] ; "--" starts the next
user of the same message. Options come before the name.

Options:
  -H, --host HOST         daemon's address or host name (default 127.0.0.1)
  -P, --port PORT         daemon's port (default 5003)
  -p, --probability N     confidence (0-100) that the user is present; above 50
                          the user joins, after the command
  -r, --raw               send standard input as it is, without a check
  -h, --help              this text
  -V, --version           the version

Commands (the presence text, where one is used, follows the command):
  join                    the user arrives        velmora-send anna join
  leave, leav             the user leaves         velmora-send anna leave
  list STATE              log online/offline      velmora-send x list online
  change, chan CHANNEL    play a channel          velmora-send x change ct3
  next                    next channel            velmora-send x next
  prev                    previous channel        velmora-send x prev
  volume, volu plus|minus master volume           velmora-send anna volume plus
  notify, noti TEXT       on-screen notification  velmora-send anna notify 'Dinner is ready'
  last                    accepted, does nothing  velmora-send anna last
  getepg, trololo         programme-guide token   velmora-send x getepg

Finger gestures (any other command: 'l:L r:R', left and right finger counts;
a left count of 1 counts as 0):
  l:0 r:N                 play the N-th channel of the online users (1-9)
                                                  velmora-send x 'l:0 r:3'
  l:2 r:*                 volume up               velmora-send x 'l:2 r:0'
  l:3 r:*                 volume down             velmora-send x 'l:3 r:0'
  l:4 r:*                 next channel            velmora-send x 'l:4 r:0'
  l:5 r:*                 previous channel        velmora-send x 'l:5 r:0'

More:
  velmora-send --probability 87 anna              anna is recognised: she joins
  velmora-send anna join -- peter leave           two users in one message
  velmora-send --raw < message.xml                a message written by hand

Exit status: 0 when the daemon took the message, 1 when it could not be
reached, 2 when nothing was sent (bad arguments, text or size).
)";

[[noreturn]] void fail(int status, const std::string& reason)
{
    std::fprintf(stderr, "velmora-send: %s\n", reason.c_str());
    std::exit(status);
}

struct XmlFree {
    void operator()(xmlChar* p) const { xmlFree(p); }
};

// The text as element content: refused when the daemon's parser could not
// read it back (not UTF-8, or a character XML does not allow).
std::string escaped(const std::string& what, const std::string& text)
{
    const auto* bytes = reinterpret_cast<const xmlChar*>(text.c_str());
    if (!xmlCheckUTF8(bytes))
        fail(EXIT_REFUSED, what + " is not UTF-8 text");
    for (const xmlChar* p = bytes; *p;) {
        int len = 4;
        int c = xmlGetUTF8Char(p, &len);
        if (c < 0 || !xmlIsCharQ(c))
            fail(EXIT_REFUSED, what + " holds a character that XML does not allow");
        p += len;
    }
    std::unique_ptr<xmlChar, XmlFree> out(xmlEncodeSpecialChars(nullptr, bytes));
    if (!out)
        fail(EXIT_REFUSED, "out of memory");
    return reinterpret_cast<const char*>(out.get());
}

std::string element(const char* tag, const std::string& text)
{
    return std::string("<") + tag + ">" + escaped(tag, text) + "</" + tag + ">";
}

struct Target {
    std::string host = "127.0.0.1";
    std::string port = "5003";
    bool raw = false;
};

const option kOptions[] = {
    {"host", required_argument, nullptr, 'H'},
    {"port", required_argument, nullptr, 'P'},
    {"probability", required_argument, nullptr, 'p'},
    {"raw", no_argument, nullptr, 'r'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

bool is_integer(const std::string& s, long min, long max)
{
    if (s.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(s.c_str(), &end, 10);
    return errno == 0 && *end == '\0' && v >= min && v <= max;
}

// One user: [options] NAME [COMMAND [PRESENCE]]. Options stop at the name, so
// that a command or a text may begin with a dash.
std::string user(std::vector<char*> args, Target& target)
{
    args.insert(args.begin(), const_cast<char*>("velmora-send"));
    args.push_back(nullptr);
    int argc = static_cast<int>(args.size()) - 1;
    std::string probability;
    optind = 0; // each user is parsed afresh
    opterr = 0; // one line of our own instead
    for (int c; (c = getopt_long(argc, args.data(), "+:H:P:p:rhV", kOptions, nullptr)) != -1;) {
        switch (c) {
        case 'H':
            target.host = optarg;
            break;
        case 'P':
            if (!is_integer(optarg, 1, 65535))
                fail(EXIT_REFUSED, std::string("not a port: ") + optarg);
            target.port = optarg;
            break;
        case 'p':
            if (!is_integer(optarg, -2147483647L - 1, 2147483647L))
                fail(EXIT_REFUSED, std::string("not a whole number: ") + optarg);
            probability = optarg;
            break;
        case 'r':
            target.raw = true;
            break;
        case 'h':
            std::fputs(kUsage, stdout);
            std::exit(0);
        case 'V':
            std::printf("velmora-send %s\n", VELMORA_VERSION);
            std::exit(0);
        case ':':
            fail(EXIT_REFUSED, std::string(args[optind - 1]) + " needs a value");
        default:
            fail(EXIT_REFUSED,
                 std::string("unknown option ") + args[optind - 1] + " (see velmora-send --help)");
        }
    }
    std::vector<std::string> words(args.begin() + optind, args.begin() + argc);
    if (target.raw) {
        if (!words.empty() || !probability.empty())
            fail(EXIT_REFUSED, "--raw takes the whole message from standard input, no users");
        return "";
    }
    if (words.empty())
        fail(EXIT_REFUSED, "a user needs a name (see velmora-send --help)");
    if (words.size() > 3)
        fail(EXIT_REFUSED, "too many words for one user: '" + words[3] +
                               "' (quote a text with blanks; \"--\" starts the next user)");
    std::string xml = "<user>" + element("name", words[0]);
    if (words.size() > 1)
        xml += element("command", words[1]);
    if (words.size() > 2)
        xml += element("presence", words[2]);
    if (!probability.empty())
        xml += element("probability", probability);
    return xml + "</user>";
}

std::string message(int argc, char** argv, Target& target)
{
    // "--" separates the users of one message.
    std::vector<std::vector<char*>> groups(1);
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0)
            groups.emplace_back();
        else
            groups.back().push_back(argv[i]);
    }
    std::string users;
    for (const auto& g : groups)
        users += user(g, target);
    if (target.raw) {
        if (groups.size() > 1)
            fail(EXIT_REFUSED, "--raw takes the whole message from standard input, no users");
        std::string text((std::istreambuf_iterator<char>(std::cin)),
                         std::istreambuf_iterator<char>());
        if (std::cin.bad())
            fail(EXIT_REFUSED, "cannot read standard input");
        return text;
    }
    return "<velmora><app>velmora-send</app><users>" + users + "</users></velmora>";
}

// Connects to the first address of host that takes the connection.
int connect_to(const Target& t)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    std::string where = t.host + ":" + t.port;
    if (int e = getaddrinfo(t.host.c_str(), t.port.c_str(), &hints, &found))
        fail(EXIT_UNDELIVERED, "cannot connect to " + where + ": " + gai_strerror(e));
    int fd = -1, err = 0;
    for (addrinfo* a = found; a && fd < 0; a = a->ai_next) {
        fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            err = errno;
            continue;
        }
        while (connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            if (errno == EINTR)
                continue;
            err = errno;
            close(fd);
            fd = -1;
            break;
        }
    }
    freeaddrinfo(found);
    if (fd < 0)
        fail(EXIT_UNDELIVERED, "cannot connect to " + where + ": " + std::strerror(err));
    return fd;
}

} // namespace

int main(int argc, char** argv)
{
    Target target;
    std::string text = message(argc, argv, target);
    if (text.size() > MESSAGE_MAX)
        fail(EXIT_REFUSED, "the message has " + std::to_string(text.size()) +
                               " bytes; the daemon reads at most 1024");

    int fd = connect_to(target);
    std::string where = target.host + ":" + target.port;
    // The daemon takes a message from the first read of its connection: all
    // of it goes in one write.
    ssize_t n;
    do
        n = send(fd, text.data(), text.size(), MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    if (n != static_cast<ssize_t>(text.size()))
        fail(EXIT_UNDELIVERED, "cannot send to " + where + ": " +
                                   (n < 0 ? std::strerror(errno) : "only part was sent"));
    shutdown(fd, SHUT_WR);

    // The daemon closes the connection once it has read the message.
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, CLOSE_WAIT_MS);
        if (r < 0 && errno == EINTR)
            continue;
        if (r == 0)
            fail(EXIT_UNDELIVERED, where + " did not take the message within " +
                                       std::to_string(CLOSE_WAIT_MS / 1000) + " s");
        char buf[256];
        ssize_t got = r < 0 ? -1 : read(fd, buf, sizeof buf);
        if (got == 0)
            break;
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            fail(EXIT_UNDELIVERED, "connection to " + where + ": " + std::strerror(errno));
    }
    close(fd);
    return 0;
}
