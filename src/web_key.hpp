// The remote's household key: its file, read or made when missing, and the
// pairing of a phone with it.
#pragma once

#include <string>

#include "settings.hpp"

// Reads the key from the first line of `path`, or creates the file with a
// new random key when there is none; "" after one line on stderr naming the
// file and the problem (a link, not a regular file, not the daemon's user's
// alone, no key).
std::string web_load_key(const std::string& path);
// --pair: prints the pairing address and its QR code; the exit status.
int web_pair(const Settings& settings);
