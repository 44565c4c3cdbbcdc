// The MQTT client: the household's presence and the television's state out,
// retained, with Home Assistant discovery; commands in, as user records.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "household.hpp"
#include "settings.hpp"

// After the start-up restore: listens to the household state and connects in
// the background (no broker is no reason not to serve). Off without a host.
void mqtt_start(const Settings& settings);
// At the shutdown, after the household has gone offline: publishes what is
// left and the status "offline", within a second, and disconnects.
void mqtt_stop();

// A user name as one topic level: every byte outside A-Z a-z 0-9 - _ . ~ as
// %XX, so that no name can add a level or a wildcard.
std::string mqtt_topic_level(std::string_view name);

struct MqttMessage {
    std::string topic, payload; // an empty payload removes a retained message
};
// The retained messages that take a broker told `before` to `now`, under the
// prefix P and the discovery prefix ("" for none); with `all`, everything
// that `now` holds is told again.
std::vector<MqttMessage> mqtt_messages(const std::string& prefix, const std::string& discovery,
                                       const Snapshot& before, const Snapshot& now, bool all);
