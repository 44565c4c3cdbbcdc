// An optional door of the house: MQTT, the web page. Each is a room behind
// which sit the libraries only it needs, loaded when the settings open it
// (doors.hpp), so that a box that keeps it closed pays nothing for it. A door
// reaches the house only through what it is handed here: the household's
// state and the inbox of the serving loop.
#pragma once

#include <cstddef>

#include "household.hpp"
#include "inbox.hpp"
#include "settings.hpp"

// What the house lends a door.
struct DoorHost {
    // Told on the serving thread after each change of the household; the id
    // takes the listener back.
    std::size_t (*add_listener)(HouseholdListener listener);
    void (*remove_listener)(std::size_t id);
    // A copy of the household's state, from any thread.
    Snapshot (*snapshot)();
    // Records for the serving loop, from any thread; false when full.
    bool (*post)(InboxMessage message);
};

class Door {
public:
    virtual ~Door() = default; // closed in order: what is left is told first
    // Before the start-up restore: what can refuse the start before the
    // television is touched. 0, or the exit status after one line.
    virtual int bind() { return 0; }
    // After the start-up restore: serves.
    virtual void start() = 0;
    // At an end other than the shutdown, before the door is destroyed.
    virtual void abandon() {}
    // The shutdown's last word, after the household went offline.
    virtual void stop() {}
};

// The entry points of the door modules.
extern "C" {
using DoorOpen = Door* (*)(const Settings& settings, const DoorHost& host);
using DoorPair = int (*)(const Settings& settings);
}
