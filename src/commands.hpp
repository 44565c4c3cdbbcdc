// The command handlers: presence, channel navigation and finger gestures.
//
// Handlers take the viewing-state buffers themselves (VIEW_SIZE bytes each)
// and change them in place; those that need the database run their
// statements on the message's connection.
#pragma once

#include <string>
#include <string_view>

#include "database.hpp"
#include "viewing.hpp"

// Presence commands.
int cmd_join(Db& db, char* name, char* current_channel);
int cmd_leave(Db& db, const char* name, char* current_channel, char* current_user);
int cmd_list(Db& db, const char* state);
int cmd_change(Db& db, const char* chnnl);
int cmd_last(char* name);

// Channel navigation and finger gestures.
int cmd_next(Db& db, char* current_channel);
int cmd_prev(Db& db, char* current_channel);
int cmd_fingers(Db& db, const char* cmd, char* currentChannel, char* currentUser);

// The counts of a finger gesture as cmd_fingers reads them from a command text
// ("l:3 r:2": positions 2 and 6; no digit, or past the end, counts 0; one
// finger on the left counts none) and their sum, left * 10 + right.
struct Gesture {
    int left, right, sum;
};
Gesture readGesture(std::string_view cmd);

// The viewing state as a leave chooses it when others stay: the first online
// user, and the current channel kept when it is among the online channels,
// else that user's last channel. `onlines` is not empty. True when the
// channel was not kept.
bool chooseAsLeave(Db& db, std::string_view onlines, std::string_view channels,
                   char* current_user, char* current_channel);
