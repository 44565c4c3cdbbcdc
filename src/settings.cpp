#include "settings.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <map>
#include <pwd.h>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include <ini.h>

#include "log.hpp"
#include "settings_parts.hpp"

using namespace settings_parts;

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
directory (~/.config/velmora unless the settings say otherwise), which holds
black.jpg and pictures/. SIGINT shuts it down in order. MYSQL_UNIX_PORT picks
the database socket. Send messages with velmora-send.

  --config FILE   a settings file read after /etc/velmora/velmora.conf and
                  $XDG_CONFIG_HOME/velmora/velmora.conf (~/.config/velmora/
                  velmora.conf), which are read when they exist; given more
                  than once, the files are read in order; a later file's
                  keys win
  --check-config  print the effective settings, each key with the file that
                  set it, and exit (2 when they are bad)
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

// A refusal on its way up to settings_load, which hands it to main.
struct Refused {
    std::string line;
};

[[noreturn]] void refuse(const std::string& line)
{
    throw Refused{line};
}

// A relative path of the system file, taken once every file is read: from
// the working directory, whichever file names it.
struct Pending {
    std::string value, file;
};

struct Parse {
    Settings s;
    std::string file;    // the settings file, as given
    std::string dir;     // its folder, absolute
    bool system = false; // the system file: its relative paths wait for the working directory
    std::string home;    // the home folder, for the system file's workdir
    std::map<std::string, Pending> pending; // kept from one file to the next
    std::string problem;                    // the first one, with its key
    std::set<std::string> seen;
};

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
    p.s.origin[where] = p.file;
    p.pending.erase(where); // an earlier file's value is replaced
    // A path means the same to the check here and to its use after the
    // change to the working directory: relative to the file's own folder.
    // The system file serves every user, so its folder means nothing to
    // them: its paths are taken from the working directory (each user's
    // own), once that is known, and its workdir from the home folder.
    static const std::set<std::string> paths = {"[server] workdir", "[database] option_file",
                                                "[mqtt] password_file", "[mqtt] tls_ca",
                                                "[web] key_file"};
    std::string v = value;
    if (paths.count(where) && !v.empty() && v.front() != '/') {
        if (p.system && where != "[server] workdir") {
            p.pending[where] = {v, p.file};
            return 1;
        }
        v = (p.system ? p.home : p.dir) + "/" + v;
    }
    std::string why;
    if (!key->second(p.s, v, why)) {
        p.problem = where + ": " + why;
        return 0;
    }
    return 1;
}

void read_file(const std::string& path, bool system, Parse& p)
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
    p.file = path;
    p.system = system;
    p.dir = folder_of(plain_absolute(path));
    p.seen.clear();
    int line = ini_parse_string(text.c_str(), on_key, &p);
    if (line != 0) {
        if (p.problem.empty())
            p.problem = line < 0 ? "cannot be parsed" : "expected KEY = VALUE or [SECTION]";
        refuse(path + ":" + std::to_string(line) + ": " + p.problem);
    }
    p.s.files.push_back(path);
}

std::string home_folder()
{
    const char* home = std::getenv("HOME");
    if (home && *home == '/')
        return home;
    const passwd* pw = getpwuid(geteuid());
    return pw && pw->pw_dir && *pw->pw_dir == '/' ? pw->pw_dir : "";
}

// The user's own settings folder, $XDG_CONFIG_HOME/velmora or
// ~/.config/velmora; "" without a home.
std::string user_folder()
{
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && *xdg == '/')
        return std::string(xdg) + "/velmora";
    const std::string home = home_folder();
    return home.empty() ? "" : home + "/.config/velmora";
}

bool exists(const std::string& path)
{
    struct stat st {};
    return !path.empty() && stat(path.c_str(), &st) == 0;
}

// The same file, however it is named.
std::string canonical(const std::string& path)
{
    char real[PATH_MAX];
    return realpath(path.c_str(), real) ? std::string(real) : plain_absolute(path);
}

// The settings of the command line and the files, checked whole.
void load(Startup& st, const std::vector<std::string>& configs)
{
    Parse p;
    Settings& s = p.s;
    s.mqtt.prefix = default_prefix();
    s.server.name = host_name();
    p.home = home_folder();

    // The layers, each file once, at its last place: a --config that names
    // the system or the user's file reads it there.
    const char* system_conf = std::getenv("VELMORA_SYSTEM_CONF");
    const std::string system = system_conf ? system_conf : "/etc/velmora/velmora.conf";
    const std::string user = user_folder().empty() ? "" : user_folder() + "/velmora.conf";
    std::vector<std::pair<std::string, bool>> layers; // the file, and whether it is the system's
    if (exists(system))
        layers.push_back({system, true});
    if (exists(user))
        layers.push_back({user, false});
    for (const std::string& config : configs) {
        if (config.empty())
            refuse("--config: empty file name");
        layers.push_back({config, false});
    }
    for (std::size_t i = 0; i < layers.size(); ++i) {
        bool later = false;
        for (std::size_t j = i + 1; j < layers.size(); ++j)
            later = later || canonical(layers[j].first) == canonical(layers[i].first);
        if (!later)
            read_file(layers[i].first, layers[i].second, p);
    }

    if (s.server.workdir_default)
        s.server.workdir = user_folder();
    if (s.server.workdir.empty()) {
        s.server.workdir = plain_absolute(".");
        s.server.workdir_default = false; // it exists: nothing to make
    }
    // The system file's relative paths, now that the working directory is known.
    for (const auto& [where, pending] : p.pending) {
        const std::size_t space = where.find(' ');
        const std::string section = where.substr(1, space - 2), key = where.substr(space + 1);
        std::string why;
        if (!keys().at(section).at(key)(s, s.server.workdir + "/" + pending.value, why))
            refuse(pending.file + ": " + where + ": " + why);
    }
    // The key file by default: web.key in the working directory.
    if (s.web.key_file.front() != '/')
        s.web.key_file = s.server.workdir + "/" + s.web.key_file;
    if (s.server.display.empty()) {
        const char* display = std::getenv("DISPLAY");
        s.server.display = display && *display ? display : ":0";
        if (display && *display)
            s.origin["[server] display"] = "the environment's DISPLAY";
    }
    if (!s.database.option_file.empty() && s.database.group.empty())
        s.database.group = "velmora";
    if (s.web.enabled && s.web.listen.text() == s.server.listen.text())
        refuse(s.origin["[web] listen"] + ": [web] listen is the address of [server] listen");
    st.settings = std::move(s);
}

} // namespace

Startup settings_load(int argc, char** argv)
{
    Startup st;
    std::vector<std::string> configs;
    int actions = 0;
    try {
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
            } else if (a == "--check-config" || a == "--pair" || a == "--help" ||
                       a == "--version") {
                ++actions;
                st.action = a == "--check-config" ? Action::CheckConfig
                            : a == "--pair"       ? Action::Pair
                            : a == "--help"       ? Action::Help
                                                  : Action::Version;
            } else {
                refuse(std::string(a == "--config"   ? "missing FILE after"
                                   : a == "--retire" ? "missing or bad television NAME after"
                                                     : "unknown argument") +
                       " '" + logSafe(a) + "' (try --help)");
            }
        }
        if (actions > 1)
            refuse("only one of --check-config, --pair, --retire, --help and --version at a time");
        if (st.action != Action::Help && st.action != Action::Version)
            load(st, configs);
    } catch (const Refused& r) {
        st.status = 2;
        st.refusal = r.line;
    }
    return st;
}

std::string settings_prepare_workdir(const Settings& s)
{
    const std::string& dir = s.server.workdir;
    struct stat st {};
    if (s.server.workdir_default && stat(dir.c_str(), &st) != 0) {
        // The household's folder: the database account, the key, the pictures.
        const mode_t mask = umask(077);
        for (std::size_t slash = dir.find('/', 1);; slash = dir.find('/', slash + 1)) {
            if ((mkdir(dir.substr(0, slash).c_str(), 0777) != 0 && errno != EEXIST) ||
                slash == std::string::npos)
                break;
        }
        umask(mask);
        if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            return dir + ": cannot make the working directory: " + std::strerror(errno);
    }
    // What the screen needs, from the installed default beside the program
    // (PREFIX/bin/../share/velmora); best effort, as the screen's own
    // programs say what is missing.
    mkdir((dir + "/pictures").c_str(), 0777);
    char exe[PATH_MAX] = {};
    if (readlink("/proc/self/exe", exe, sizeof exe - 1) <= 0)
        return "";
    const std::string black = folder_of(folder_of(exe)) + "/share/velmora/black.jpg";
    for (const char* to : {"/black.jpg", "/pictures/black.jpg"})
        copy_new(black, dir + to);
    return "";
}

std::string settings_describe(const Settings& s)
{
    std::ostringstream out;
    std::string section;
    auto head = [&](const char* name) {
        section = name;
        out << "[" << name << "]\n";
    };
    // Each key with the file that set it, then what its value means.
    auto line = [&](const char* key, const std::string& value, const char* note = nullptr) {
        out << key << " = " << value;
        const auto from = s.origin.find("[" + section + "] " + key);
        if (from != s.origin.end() || note)
            out << "    ; ";
        if (from != s.origin.end())
            out << from->second << (note ? "; " : "");
        if (note)
            out << note;
        out << "\n";
    };
    out << "; velmora-server " << VELMORA_VERSION << ": "
        << (s.files.empty() ? std::string("no settings file, built-in defaults")
                            : "settings from " + settings_files(s))
        << "\n";
    head("server");
    line("listen", s.server.listen.text(),
         "a socket handed over by the service manager is served instead");
    line("workdir", s.server.workdir,
         s.server.workdir_default ? "the user's settings folder, made when missing" : nullptr);
    line("name", s.server.name);
    line("display", s.server.display);
    line("away_after", std::to_string(s.server.away_after),
         s.server.away_after == 0 ? "a television that goes away keeps its users online" : nullptr);
    head("database");
    line("option_file", s.database.option_file,
         s.database.group.empty()         ? "no option file is read"
         : s.database.option_file.empty() ? "the client's usual option files"
                                          : nullptr);
    line("group", s.database.group);
    head("guide");
    line("host", s.guide.host);
    line("post_port", std::to_string(s.guide.post_port));
    line("get_port", std::to_string(s.guide.get_port));
    head("mqtt");
    line("host", s.mqtt.host, s.mqtt.host.empty() ? "MQTT is off" : nullptr);
    line("port", std::to_string(s.mqtt.port));
    line("username", s.mqtt.username);
    line("password_file", s.mqtt.password_file);
    out << "password = " << (s.mqtt.password.empty() ? "" : "(set)") << "\n";
    line("tls_ca", s.mqtt.tls_ca, s.mqtt.tls_ca.empty() ? "no TLS" : nullptr);
    line("prefix", s.mqtt.prefix);
    line("discovery", s.mqtt.discovery, s.mqtt.discovery.empty() ? "no discovery" : nullptr);
    head("web");
    line("listen", s.web.enabled ? s.web.listen.text() : "",
         s.web.enabled ? nullptr : "the page is off");
    line("key_file", s.web.key_file);
    std::string hosts;
    for (const std::string& h : s.web.hosts)
        hosts += (hosts.empty() ? "" : " ") + h;
    line("hosts", hosts);
    return out.str();
}
