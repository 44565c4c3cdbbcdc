// The web server: the household's remote, its interface and the page's
// files. A door (door.hpp): built as the module velmora-web.
#pragma once

#include <memory>

#include "door.hpp"

// The page, when the settings give it an address: `bind` before the
// start-up restore reads the key and binds the address (2 for a key file that
// cannot be used, -1 for a port that is taken, after one line); `start`
// serves; `stop` ends the streams and the server.
std::unique_ptr<Door> web_open(const Settings& settings, const DoorHost& host);
