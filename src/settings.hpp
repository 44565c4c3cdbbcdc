// The settings file and the command line, read once at start into one plain
// struct that the other rooms are given. No other room reads a file or the
// environment for a setting.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "net.hpp"

// The guide server's address when the settings name none (set at build time).
extern const char* const kDefaultGuideHost;

struct Settings {
    std::vector<std::string> files; // the settings files read, in order
    // The file that set each key ("[server] listen" -> its path); a key
    // missing here has its built-in value.
    std::map<std::string, std::string> origin;

    struct Server {
        ListenAddress listen{"0.0.0.0", 5003};
        bool listen_given = false;
        // Absolute once loaded. Default: the folder of the user's own
        // settings, $XDG_CONFIG_HOME/velmora (~/.config/velmora), made when
        // missing; without a home, the directory the daemon starts in.
        std::string workdir;
        bool workdir_default = true;
        // The television's name: in the log, the MQTT device, the page, and
        // as the place where the shared database last saw a user. Default:
        // the host name.
        std::string name;
        // The X display the screen is on: DISPLAY of the environment (a
        // desktop session's), else :0. The daemon's programs are given it.
        std::string display;
        // After this many seconds without a sign of life a television's
        // users are set offline by any other (0: never).
        long away_after = 600;
    } server;

    struct Database {
        std::string option_file; // a MariaDB option file; "" for the client's usual files
        std::string group;       // its group; "" reads no option file at all
    } database;

    struct Guide {
        std::string host = kDefaultGuideHost;
        int post_port = 8080;
        int get_port = 8081;
    } guide;

    struct Mqtt {
        std::string host; // "" turns MQTT off
        int port = 1883;
        std::string username;
        std::string password_file;
        std::string password; // read from password_file; never shown
        std::string tls_ca;
        std::string prefix;                      // default velmora/HOSTNAME
        std::string discovery = "homeassistant"; // "" turns discovery off
    } mqtt;

    struct Web {
        bool enabled = false; // true once listen is set
        ListenAddress listen{"0.0.0.0", 8003};
        std::string key_file = "web.key"; // absolute once loaded: in the working directory
        std::vector<std::string> hosts;   // further names the page may be reached by
    } web;
};

// What the command line asks for.
enum class Action { Serve, CheckConfig, Pair, Retire, Help, Version };

struct Startup {
    Action action = Action::Serve;
    Settings settings;
    std::string retire;  // the television --retire names
    int status = 0;      // 2 when refused
    std::string refusal; // then the one line that says why (file, line, problem)
};

// Reads the command line and the settings files in layers, a later file's
// keys winning key by key: /etc/velmora/velmora.conf (VELMORA_SYSTEM_CONF
// names another, or none when empty), then the user's own
// $XDG_CONFIG_HOME/velmora/velmora.conf (~/.config/velmora/velmora.conf),
// each when it exists, then each --config FILE in order. A file is read
// once, at its last place. A relative path is taken from its file's folder;
// in the system file, which serves every user, from the working directory
// (and workdir itself from the home folder). A usage error or a bad setting
// is refused before anything happens: status 2 and the line.
Startup settings_load(int argc, char** argv);

// "A, then B" for the files read; "" for none.
inline std::string settings_files(const Settings& s)
{
    std::string text;
    for (const std::string& f : s.files)
        text += (text.empty() ? "" : ", then ") + f;
    return text;
}

// The effective settings in the file's own syntax, the password as "(set)",
// each key that a file set with that file.
std::string settings_describe(const Settings& s);

// Before serving or pairing: the default working directory made when
// missing (mode 0700), and the working directory given what it needs when
// missing: pictures/, and the installed black.jpg in it and in pictures/
// (the household's own files are never replaced). "" or the problem.
std::string settings_prepare_workdir(const Settings& s);

// The usage text of --help.
extern const char* const kUsage;
