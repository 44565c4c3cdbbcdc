// Opening the optional doors (door.hpp): each is a module, velmora-mqtt.so
// and velmora-web.so, loaded only when the settings open it, from the
// daemon's own folder (a build tree) or the folder it was installed with.
#pragma once

#include <memory>
#include <string>

#include "door.hpp"

// MQTT when [mqtt] host is set, the page when [web] listen is; none when the
// settings keep it closed, or, after one line naming the module and why,
// when its module cannot be loaded (the daemon serves without it).
std::unique_ptr<Door> mqtt_door(const Settings& settings);
std::unique_ptr<Door> web_door(const Settings& settings);
// --pair, through the page's module; the exit status.
int pair_through_web_door(const Settings& settings);
// --retire, through the MQTT module: every retained message under `prefix`
// and the discovery configs of its node cleared on the settings' broker; how
// many, or -1 with `why`.
int mqtt_clear_retained(const Settings& settings, const std::string& prefix,
                        const std::string& discovery, std::string& why);
