// The player control: what the television shows and plays, the sound and
// the notifications, through the programs the daemon starts (children.hpp).
// Every operation returns 0.
#pragma once

#include "database.hpp"

// Records the channel as the last channel of the online users who have it
// (on the caller's connection), notifies (unless told not to: a resume brings
// back what played), and has a child become the player.
int player_set_channel(Db& db, const char* channel, bool notify = true);
// Has a child render the welcome and set it as the background.
int player_set_background(const char* name, const char* onlines, const char* channels,
                          const char* picture);
int player_volume(const char* type);
int player_notify(const char* title, const char* text);
// Stops the player and shows the black background.
int player_restore();
