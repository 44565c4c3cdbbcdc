// The settings' parts that settings.cpp puts together: the checks of each
// kind of value, the files they are read from, and the table of keys.
#pragma once

#include <functional>
#include <map>
#include <string>

#include "net.hpp"

struct Settings;

namespace settings_parts {

// The longest television name: a host name's length.
constexpr std::size_t NAME_MAX_BYTES = 64;

bool parse_port(const std::string& v, int& port);
// "ADDRESS:PORT" with a numeric IPv4 address or a bracketed IPv6 one.
bool parse_listen(const std::string& v, ListenAddress& out, std::string& why);
// A host name or address as it may stand in a URL.
bool valid_host(const std::string& v);
// A television's name: 1 to NAME_MAX_BYTES bytes without a control character.
bool valid_name(const std::string& v);
std::string host_name();
// A topic prefix: levels of any text but the wildcards, none empty.
bool valid_prefix(const std::string& v);
std::string default_prefix();

// `path` from the working directory when relative, written plainly: no "."
// or ".." steps and no doubled slashes; and the folder such a path is in.
std::string plain_absolute(const std::string& path);
std::string folder_of(const std::string& path);
// A regular file copied to `to` when nothing is there yet; best effort.
void copy_new(const std::string& from, const std::string& to);
// At most `max` bytes of a regular file, read without blocking on a FIFO or
// a device; false with `why` when it cannot be read, is no regular file, or
// holds more.
bool read_bounded(const std::string& path, std::size_t max, std::string& text, std::string& why);
bool readable_file(const std::string& path, std::string& why);
// The MQTT password: the first line of a file only its owner may read.
bool read_password(const std::string& path, std::string& password, std::string& why);

// One key; false with `why` set when the value is refused.
using Setter = std::function<bool(Settings&, const std::string&, std::string&)>;
// Every section and its keys.
const std::map<std::string, std::map<std::string, Setter>>& keys();

} // namespace settings_parts
