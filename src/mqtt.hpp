// The MQTT client: the household's presence and the television's state out,
// retained, with Home Assistant discovery; commands in, as user records.
// A door (door.hpp): built as the module velmora-mqtt.
#pragma once

#include <memory>

#include "door.hpp"

// Listens to the household state and connects in the background (no broker
// is no reason not to serve). `stop` publishes what is left and the status
// "offline" within a second and disconnects; `abandon` cuts the connection
// without a goodbye, so that the broker publishes the will ("offline").
std::unique_ptr<Door> mqtt_open(const Settings& settings, const DoorHost& host);
