// The MQTT client: the household's presence and the television's state out,
// retained, with Home Assistant discovery; commands in, as user records.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "mqtt_topics.hpp"
#include "settings.hpp"

// After the start-up restore: listens to the household state and connects in
// the background (no broker is no reason not to serve). Off without a host.
void mqtt_start(const Settings& settings);
// At the shutdown, after the household has gone offline: publishes what is
// left and the status "offline", within a second, and disconnects.
void mqtt_stop();
