// Opening the optional doors (door.hpp): each is a module, velmora-mqtt.so
// and velmora-web.so, loaded only when the settings open it, from the
// daemon's own folder (a build tree) or the folder it was installed with.
#pragma once

#include <memory>

#include "door.hpp"

// MQTT when [mqtt] host is set, the page when [web] listen is; none when the
// settings keep it closed, or, after one line naming the module and why,
// when its module cannot be loaded (the daemon serves without it).
std::unique_ptr<Door> mqtt_door(const Settings& settings);
std::unique_ptr<Door> web_door(const Settings& settings);
// --pair, through the page's module; the exit status.
int pair_through_web_door(const Settings& settings);
