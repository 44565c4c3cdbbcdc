#include "settings.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include <ini.h>

#include "log.hpp"

#ifndef VELMORA_GUIDE_HOST
#define VELMORA_GUIDE_HOST "127.0.0.1"
#endif
#ifndef VELMORA_VERSION
#define VELMORA_VERSION "0"
#endif

const char* const kDefaultGuideHost = VELMORA_GUIDE_HOST;

const char* const kUsage =
    R"(usage: velmora-server [--config FILE]... [--check-config | --pair | --retire NAME | --help |
                     --version]

Velmora's set-top daemon. It listens on TCP port 5003 (or serves the listening
socket a service manager hands it), takes one XML message per connection, keeps
who is online in the MariaDB database dvb and drives the television with
mplayer, convert, fbsetbg, notify-send and amixer. It runs in its working
directory, which holds black.jpg and pictures/. SIGINT shuts it down in order.
MYSQL_UNIX_PORT picks the database socket. Send messages with velmora-send.

  --config FILE   the settings file (default: the first that exists of
                  $XDG_CONFIG_HOME/velmora/velmora.conf, ~/.config/velmora/velmora.conf
                  and /etc/velmora/velmora.conf); given more than once, the
                  files are read in order and a later file's keys win
  --check-config  print the effective settings and exit (2 when they are bad)
  --pair          print the web page's pairing address and its QR code
  --retire NAME   a television taken away: its users offline, its sign of life
                  removed and its retained MQTT topics cleared
  --help          this text
  --version       the version
)";

namespace {

// Longer lines would be split by the parser and read as two.
constexpr std::size_t LINE_MAX_CHARS = 190;
// A settings file is a few lines; one of this size is something else.
constexpr std::size_t SETTINGS_MAX = 64 * 1024;
// The first line of a password file.
constexpr std::size_t PASSWORD_MAX = 1024;

[[noreturn]] void refuse(const std::string& line)
{
    std::fprintf(stderr, "velmora-server: %s\n", line.c_str());
    std::exit(2);
}

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

// At most `max` bytes of a regular file, read without blocking on a FIFO or a
// device and without following one that grows while it is read; false with
// `why` set when the file cannot be read, is no regular file, or holds more.
bool read_bounded(const std::string& path, std::size_t max, std::string& text, std::string& why)
{
    Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    struct stat st {};
    if (fd.fd < 0 || fstat(fd.fd, &st) != 0) {
        why = std::strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        why = S_ISDIR(st.st_mode) ? "it is a directory" : "it is not a regular file";
        return false;
    }
    text.assign(max + 1, '\0');
    std::size_t got = 0;
    while (got < text.size()) {
        ssize_t n = read(fd.fd, text.data() + got, text.size() - got);
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

// The longest television name: a host name's length.
constexpr std::size_t NAME_MAX_BYTES = 64;

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
// a key that others can read).
bool read_password(const std::string& path, std::string& password, std::string& why)
{
    if (!readable_file(path, why))
        return false;
    struct stat st {};
    stat(path.c_str(), &st);
    if (st.st_mode & (S_IRWXG | S_IRWXO)) {
        why = path + " is readable by group or others (chmod 600 it)";
        return false;
    }
    std::string text;
    if (!read_bounded(path, PASSWORD_MAX, text, why)) {
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

struct Parse {
    Settings s;
    std::string dir;     // the settings file's folder, absolute
    std::string problem; // the first one, with its key
    int line = 0;        // set by the caller from ini_parse's result
    std::set<std::string> seen;
};

// One key; false with `why` set when the value is refused.
using Setter = std::function<bool(Settings&, const std::string&, std::string&)>;

bool set_port(int& port, const std::string& v, std::string& why)
{
    if (parse_port(v, port))
        return true;
    why = "'" + v + "' is not a port (1-65535)";
    return false;
}

bool set_host(std::string& host, const std::string& v, std::string& why)
{
    if (valid_host(v)) {
        host = v;
        return true;
    }
    why = "'" + v + "' is not a host name or address";
    return false;
}

const std::map<std::string, std::map<std::string, Setter>>& keys()
{
    static const std::map<std::string, std::map<std::string, Setter>> table = {
        {"server",
         {{"listen",
           [](Settings& s, const std::string& v, std::string& why) {
               s.server.listen_given = true;
               return parse_listen(v, s.server.listen, why);
           }},
          {"workdir",
           [](Settings& s, const std::string& v, std::string& why) {
               struct stat st {};
               if (stat(v.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
                   why = "'" + v + "' is not a directory";
                   return false;
               }
               s.server.workdir = v;
               return true;
           }},
          {"name",
           [](Settings& s, const std::string& v, std::string& why) {
               s.server.name = v;
               why = "'" + logSafe(v) + "' is not a television name (1 to " +
                     std::to_string(NAME_MAX_BYTES) + " bytes, no control characters)";
               return valid_name(v);
           }},
          {"away_after",
           [](Settings& s, const std::string& v, std::string& why) {
               why = "'" + v + "' is not a number of seconds (0, or 10 to 604800)";
               if (v.empty() || v.size() > 6 || v.find_first_not_of("0123456789") != std::string::npos)
                   return false;
               s.server.away_after = std::atol(v.c_str());
               return s.server.away_after == 0 ||
                      (s.server.away_after >= 10 && s.server.away_after <= 604800);
           }}}},
        {"database",
         {{"option_file",
           [](Settings& s, const std::string& v, std::string& why) {
               s.database.option_file = v;
               return readable_file(v, why);
           }},
          {"group",
           [](Settings& s, const std::string& v, std::string& why) {
               if (v.empty() ||
                   v.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUV"
                                       "WXYZ0123456789_-.") != std::string::npos) {
                   why = "'" + v + "' is not an option-file group name";
                   return false;
               }
               s.database.group = v;
               return true;
           }}}},
        {"guide",
         {{"host", [](Settings& s, const std::string& v,
                      std::string& why) { return set_host(s.guide.host, v, why); }},
          {"post_port", [](Settings& s, const std::string& v,
                           std::string& why) { return set_port(s.guide.post_port, v, why); }},
          {"get_port", [](Settings& s, const std::string& v,
                          std::string& why) { return set_port(s.guide.get_port, v, why); }}}},
        {"mqtt",
         {{"host", [](Settings& s, const std::string& v,
                      std::string& why) { return set_host(s.mqtt.host, v, why); }},
          {"port", [](Settings& s, const std::string& v,
                      std::string& why) { return set_port(s.mqtt.port, v, why); }},
          {"username",
           [](Settings& s, const std::string& v, std::string& why) {
               s.mqtt.username = v;
               why = "the user name is empty";
               return !v.empty();
           }},
          {"password_file",
           [](Settings& s, const std::string& v, std::string& why) {
               s.mqtt.password_file = v;
               return read_password(v, s.mqtt.password, why);
           }},
          {"tls_ca",
           [](Settings& s, const std::string& v, std::string& why) {
               s.mqtt.tls_ca = v;
               return readable_file(v, why);
           }},
          {"prefix",
           [](Settings& s, const std::string& v, std::string& why) {
               s.mqtt.prefix = v;
               why = "'" + v + "' is not a topic prefix (levels without + or #, none empty)";
               return valid_prefix(v);
           }},
          {"discovery",
           [](Settings& s, const std::string& v, std::string& why) {
               s.mqtt.discovery = v;
               why = "'" + v + "' is not a topic prefix (levels without + or #, none empty)";
               return v.empty() || valid_prefix(v);
           }}}},
        {"web",
         {{"listen",
           [](Settings& s, const std::string& v, std::string& why) {
               s.web.enabled = true;
               return parse_listen(v, s.web.listen, why);
           }},
          {"key_file",
           [](Settings& s, const std::string& v, std::string& why) {
               s.web.key_file = v;
               why = "the key file name is empty";
               return !v.empty();
           }},
          {"hosts",
           [](Settings& s, const std::string& v, std::string& why) {
               s.web.hosts.clear(); // a later file's list replaces an earlier one's
               std::istringstream in(v);
               for (std::string name; in >> name;) {
                   if (!name.empty() && name.back() == ',')
                       name.pop_back();
                   if (name.empty())
                       continue;
                   if (!valid_host(name)) {
                       why = "'" + name + "' is not a host name";
                       return false;
                   }
                   s.web.hosts.push_back(name);
               }
               return true;
           }}}},
    };
    return table;
}

int on_key(void* user, const char* section, const char* name, const char* value)
{
    Parse& p = *static_cast<Parse*>(user);
    if (!p.problem.empty())
        return 1; // only the first problem is told
    auto sec = keys().find(section);
    if (sec == keys().end()) {
        p.problem = "unknown section [" + std::string(section) + "]";
        return 0;
    }
    auto key = sec->second.find(name);
    if (key == sec->second.end()) {
        p.problem = "unknown key '" + std::string(name) + "' in [" + section + "]";
        return 0;
    }
    std::string where = "[" + std::string(section) + "] " + name;
    if (!p.seen.insert(where).second) {
        p.problem = where + " is set twice";
        return 0;
    }
    // A path means the same to the check here and to its use after the
    // change to the working directory: relative to the file's own folder.
    static const std::set<std::string> paths = {"[server] workdir", "[database] option_file",
                                                "[mqtt] password_file", "[mqtt] tls_ca",
                                                "[web] key_file"};
    std::string v = value;
    if (paths.count(where) && !v.empty() && v.front() != '/')
        v = p.dir + "/" + v;
    std::string why;
    if (!key->second(p.s, v, why)) {
        p.problem = where + ": " + why;
        return 0;
    }
    return 1;
}

void read_file(const std::string& path, Settings& s)
{
    std::string why, text;
    if (!read_bounded(path, SETTINGS_MAX, text, why))
        refuse(path + ": cannot read the settings file: " + why);
    if (text.find('\0') != std::string::npos)
        refuse(path + ": not a text file");
    int number = 1;
    for (std::size_t at = 0; at < text.size(); ++number) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        if (end - at > LINE_MAX_CHARS)
            refuse(path + ":" + std::to_string(number) + ": line longer than " +
                   std::to_string(LINE_MAX_CHARS) + " characters");
        at = end + 1;
    }
    // One key per line: a continuation line would silently join the one above.
    ini_allow_multiline = false;
    Parse p;
    p.s = s;
    std::error_code ec;
    p.dir = std::filesystem::absolute(path, ec).parent_path().lexically_normal().string();
    int line = ini_parse_string(text.c_str(), on_key, &p);
    if (line != 0) {
        if (p.problem.empty())
            p.problem = line < 0 ? "cannot be parsed" : "expected KEY = VALUE or [SECTION]";
        refuse(path + ":" + std::to_string(line) + ": " + p.problem);
    }
    s = p.s;
}

std::string home_config()
{
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && *xdg == '/')
        return std::string(xdg) + "/velmora/velmora.conf";
    const char* home = std::getenv("HOME");
    if (home && *home)
        return std::string(home) + "/.config/velmora/velmora.conf";
    return "";
}

bool exists(const std::string& path)
{
    struct stat st {};
    return !path.empty() && stat(path.c_str(), &st) == 0;
}

} // namespace

Startup settings_load(int argc, char** argv)
{
    Startup st;
    std::vector<std::string> configs;
    int actions = 0;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--config" && i + 1 < argc) {
            configs.push_back(argv[++i]);
        } else if (a.rfind("--config=", 0) == 0) {
            configs.push_back(a.substr(9));
        } else if (a == "--retire" && i + 1 < argc && valid_name(argv[i + 1])) {
            ++actions;
            st.action = Action::Retire;
            st.retire = argv[++i];
        } else if (a == "--check-config" || a == "--pair" || a == "--help" || a == "--version") {
            ++actions;
            st.action = a == "--check-config" ? Action::CheckConfig
                        : a == "--pair"       ? Action::Pair
                        : a == "--help"       ? Action::Help
                                              : Action::Version;
        } else {
            std::fprintf(stderr, "velmora-server: %s '%s' (try --help)\n",
                         a == "--config"   ? "missing FILE after"
                         : a == "--retire" ? "missing or bad television NAME after"
                                           : "unknown argument",
                         logSafe(argv[i]).c_str());
            std::exit(2);
        }
    }
    if (actions > 1) {
        std::fprintf(stderr, "velmora-server: only one of --check-config, --pair, --retire, --help "
                             "and --version at a time\n");
        std::exit(2);
    }
    if (st.action == Action::Help || st.action == Action::Version)
        return st;

    Settings& s = st.settings;
    s.mqtt.prefix = default_prefix();
    s.server.name = host_name();
    if (configs.empty()) {
        for (const std::string& candidate :
             {home_config(), std::string("/etc/velmora/velmora.conf")})
            if (exists(candidate)) {
                configs.push_back(candidate);
                break;
            }
    }
    for (const std::string& config : configs) {
        if (config.empty())
            refuse("--config: empty file name");
        read_file(config, s);
        s.file += (s.file.empty() ? "" : ", ") + config;
    }
    // The key file by default: web.key in the working directory.
    if (s.web.key_file.front() != '/') {
        char cwd[4096];
        const std::string base = s.server.workdir.empty() ? (getcwd(cwd, sizeof cwd) ? cwd : "")
                                                          : s.server.workdir;
        if (!base.empty())
            s.web.key_file = base + (base.back() == '/' ? "" : "/") + s.web.key_file;
    }
    if (!s.database.option_file.empty() && s.database.group.empty())
        s.database.group = "velmora";
    if (s.web.enabled && s.web.listen.text() == s.server.listen.text())
        refuse(s.file + ": [web] listen is the address of [server] listen");
    return st;
}

std::string settings_describe(const Settings& s)
{
    std::ostringstream out;
    auto line = [&](const char* key, const std::string& value, const char* note = nullptr) {
        out << key << " = " << value;
        if (note)
            out << "    ; " << note;
        out << "\n";
    };
    out << "; velmora-server " << VELMORA_VERSION << ": "
        << (s.file.empty() ? std::string("no settings file, built-in defaults")
                           : "settings from " + s.file)
        << "\n[server]\n";
    line("listen", s.server.listen.text(),
         "a socket handed over by the service manager is served instead");
    line("workdir", s.server.workdir,
         s.server.workdir.empty() ? "where the daemon starts" : nullptr);
    line("name", s.server.name);
    line("away_after", std::to_string(s.server.away_after),
         s.server.away_after == 0 ? "a television that goes away keeps its users online" : nullptr);
    out << "[database]\n";
    line("option_file", s.database.option_file,
         s.database.group.empty()         ? "no option file is read"
         : s.database.option_file.empty() ? "the client's usual option files"
                                          : nullptr);
    line("group", s.database.group);
    out << "[guide]\n";
    line("host", s.guide.host);
    line("post_port", std::to_string(s.guide.post_port));
    line("get_port", std::to_string(s.guide.get_port));
    out << "[mqtt]\n";
    line("host", s.mqtt.host, s.mqtt.host.empty() ? "MQTT is off" : nullptr);
    line("port", std::to_string(s.mqtt.port));
    line("username", s.mqtt.username);
    line("password_file", s.mqtt.password_file);
    line("password", s.mqtt.password.empty() ? "" : "(set)");
    line("tls_ca", s.mqtt.tls_ca, s.mqtt.tls_ca.empty() ? "no TLS" : nullptr);
    line("prefix", s.mqtt.prefix);
    line("discovery", s.mqtt.discovery, s.mqtt.discovery.empty() ? "no discovery" : nullptr);
    out << "[web]\n";
    line("listen", s.web.enabled ? s.web.listen.text() : "",
         s.web.enabled ? nullptr : "the page is off");
    line("key_file", s.web.key_file);
    std::string hosts;
    for (const std::string& h : s.web.hosts)
        hosts += (hosts.empty() ? "" : " ") + h;
    line("hosts", hosts);
    return out.str();
}
