// The settings file and the command line, read once at start into one plain
// struct that the other rooms are given. No other room reads a file or the
// environment for a setting.
#pragma once

#include <string>
#include <vector>

#include "net.hpp"

// The guide server's address when the settings name none (set at build time).
extern const char* const kDefaultGuideHost;

struct Settings {
    std::string file; // the settings files that were read, ", " between them; "" for none

    struct Server {
        ListenAddress listen{"0.0.0.0", 5003};
        bool listen_given = false;
        std::string workdir; // "" keeps the directory the daemon starts in
        // The television's name: in the log, the MQTT device, the page, and
        // as the place where the shared database last saw a user. Default:
        // the host name.
        std::string name;
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
        std::string key_file = "web.key"; // relative to the working directory
        std::vector<std::string> hosts;   // further names the page may be reached by
    } web;
};

// What the command line asks for.
enum class Action { Serve, CheckConfig, Pair, Retire, Help, Version };

struct Startup {
    Action action = Action::Serve;
    Settings settings;
    std::string retire; // the television --retire names
};

// Reads the command line and the settings files (each --config FILE in
// order, a later file's keys winning; without any, the first that exists of
// $XDG_CONFIG_HOME/velmora/velmora.conf or ~/.config/velmora/velmora.conf and
// /etc/velmora/velmora.conf). A usage error or a bad setting writes one line
// on stderr and ends the process with status 2 before anything else happens.
Startup settings_load(int argc, char** argv);

// The effective settings in the file's own syntax, the password as "(set)".
std::string settings_describe(const Settings& s);

// The usage text of --help.
extern const char* const kUsage;
