#include "settings_parts.hpp"

#include <cstdlib>
#include <sys/stat.h>
#include <sstream>

#include "log.hpp"
#include "settings.hpp"

namespace settings_parts {

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
               s.server.workdir_default = false;
               return true;
           }},
          {"display",
           [](Settings& s, const std::string& v, std::string& why) {
               s.server.display = v;
               why = "'" + logSafe(v) + "' is not an X display (:N or HOST:N)";
               return !v.empty() && v.size() <= 255 && logSafe(v) == v &&
                      v.find(':') != std::string::npos;
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
               if (v.empty() || v.size() > 6 ||
                   v.find_first_not_of("0123456789") != std::string::npos)
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

} // namespace settings_parts
