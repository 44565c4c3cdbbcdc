// What the household and the television are now: every user and their state,
// the online list, the viewing state and what plays. The handlers and the
// player tell it what changed; at the end of each message it tells its
// listeners (MQTT, the web page). Nothing here knows who listens.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "household_user.hpp"

class Db;

struct Snapshot {
    std::string television;            // this television's name
    std::vector<HouseholdUser> users;  // every household user, in the database's order
    std::vector<std::string> online;   // the online user list, in its order
    std::vector<std::string> channels; // every channel of the household
    std::string viewing_user, viewing_channel;
    std::string playing; // the channel the player was last started with; "" once restored
    std::string screen = "black.jpg"; // the picture the screen shows: "black.jpg" or "out.jpg"
    unsigned renders = 0;             // welcome renders ended so far: a new out.jpg
    bool read = false;                // users and channels have been read from the database
    unsigned announced = 0; // told everything anew that many times (a television retired while
                            // it ran: what it published was cleared)
    bool operator==(const Snapshot& o) const
    {
        return television == o.television && users == o.users && online == o.online &&
               channels == o.channels && viewing_user == o.viewing_user &&
               viewing_channel == o.viewing_channel && playing == o.playing && screen == o.screen &&
               renders == o.renders && read == o.read && announced == o.announced;
    }
};

// Told on the serving thread, after the change, with what was before.
using HouseholdListener = std::function<void(const Snapshot& before, const Snapshot& now)>;

namespace household {

// Listeners are added before the serving loop starts. With none, the
// household reads nothing from the database and costs nothing. The id takes
// the listener back (a door that closes).
std::size_t add_listener(HouseholdListener listener);
void remove_listener(std::size_t id);
bool has_listeners();

// From the handlers, on the message's connection: user states changed in
// the database. With listeners, the users and the online list are read at
// once on that connection.
void presence_changed(Db& db);
// Before the serving loop: this television's name.
void name(std::string_view television);

// From the player: the channel it was started with, "" once the screen is
// restored; the screen restored to black.jpg; a welcome set (its render
// started); a welcome render that has ended (out.jpg, when it succeeded),
// told to the listeners at once.
void playing(std::string_view channel);
void screen(std::string_view picture);
void welcomed();
void rendered();

// From the serving loop. `refresh` reads every user, the online list and the
// channels on the caller's open connection (start-up, shutdown);
// `message_done` takes the viewing state, keeps the television's state file,
// reads the database when it has not been read since presence changed (on
// the unit of work's connection, opened when it is not, never ending the
// process) and tells the listeners.
void refresh(Db& db);
void message_done(Db& db, const char* current_user, const char* current_channel);

// A copy of the state, for threads other than the serving one.
Snapshot snapshot();

// Everything is to be told anew (what the listeners published was cleared).
void announce();

// The television's own room: the online list here (a comma list) that the
// screen was last made from (a join's, a leave's, a resume's, the room's
// follow-up's); "known" once one was read.
void room_shown(const std::string& onlines);
bool room_known();
const std::string& shown_room();
// What the screen holds: the channel that plays ("" for none) and whether
// the welcome is on it.
const std::string& playing_now();
bool welcome_on_screen();

} // namespace household
