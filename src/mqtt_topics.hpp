// What the MQTT client publishes: the household's presence and the
// television's state as retained messages under the prefix, and the Home
// Assistant discovery configs.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "household.hpp"

// A user name as one topic level: every byte outside A-Z a-z 0-9 - _ . ~ as
// %XX, so that no name can add a level or a wildcard.
std::string mqtt_topic_level(std::string_view name);

// The Home Assistant node id of the television that publishes under `prefix`:
// its discovery configs are DISCOVERY/COMPONENT/NODE/OBJECT/config.
std::string mqtt_node(std::string_view prefix);

struct MqttMessage {
    std::string topic, payload; // an empty payload removes a retained message
};
// The retained messages that take a broker told `before` to `now`, under the
// prefix P and the discovery prefix ("" for none); with `all`, everything
// that `now` holds is told again.
std::vector<MqttMessage> mqtt_messages(const std::string& prefix, const std::string& discovery,
                                       const Snapshot& before, const Snapshot& now, bool all);
