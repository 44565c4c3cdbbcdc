// Messages from sources other than the TCP listener (the MQTT client, the web
// server), which run threads of their own: they turn what they receive into
// the same user records as an XML message and queue them here; the serving
// loop takes them one message at a time, on its own thread.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "record.hpp"

struct InboxMessage {
    std::string origin; // for the log: "mqtt velmora/tv/command", "web 192.0.2.7"
    std::string text;   // what was received
    std::vector<Record> records;
};

namespace inbox {

// The most messages that wait; a source told "full" refuses what it received.
constexpr std::size_t MAX_WAITING = 64;

// Readable while messages wait; the serving loop watches it.
int wake_fd();
// From any thread; false when MAX_WAITING messages wait already.
bool post(InboxMessage message);
// The oldest waiting message, if any; the serving loop's side.
bool take(InboxMessage& message);

} // namespace inbox
