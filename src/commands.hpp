// Command handlers, the programme-guide exchange and the player control.
//
// Handlers take the viewing-state buffers themselves (VIEW_SIZE bytes each)
// and change them in place.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "settings.hpp"

constexpr std::size_t VIEW_SIZE = 20;

// Presence commands.
int cmd_join(char* name, char* current_channel);
int cmd_leave(const char* name, char* current_channel, char* current_user);
int cmd_list(const char* state);
int cmd_change(const char* chnnl);
int cmd_last(char* name);

// Channel navigation and finger gestures.
int cmd_next(char* current_channel);
int cmd_prev(char* current_channel);
int cmd_fingers(const char* cmd, char* currentChannel, char* currentUser);

// The counts of a finger gesture as cmd_fingers reads them from a command text
// ("l:3 r:2": positions 2 and 6; no digit, or past the end, counts 0; one
// finger on the left counts none) and their sum, left * 10 + right.
struct Gesture {
    int left, right, sum;
};
Gesture readGesture(std::string_view cmd);

// The guide server's address and ports.
void guide_configure(const Settings::Guide& guide);
// Programme-guide token exchange; always 1.
int http_post();

// One message may hold the daemon for 15 s at most: the programs it waits for
// and its guide exchanges share that time from message_budget_reset() on;
// once it is spent, their remaining waits end at once. message_budget_end()
// ends the message: the start-up restore and the shutdown keep only their
// bounds per program (and the guide its own 15 s).
void message_budget_reset();
void message_budget_end();
// What is left of the message's time, zero once spent; 15 s outside a message.
std::chrono::milliseconds message_time_left();
// The token of a POST response: from offset 43 up to the first double quote at
// offset 44 or later; none when the response holds no such quote.
std::optional<std::string> guideToken(std::string_view response);
// The GET address that hands `token` back, percent-encoded only where a URL
// cannot carry its bytes.
std::string guideGetUrl(std::string_view token);

// Player control; every operation returns 0.
int player_set_channel(const char* channel);
int player_set_background(const char* name, const char* onlines, const char* channels,
                          const char* picture);
int player_volume(const char* type);
int player_notify(const char* title, const char* text);
int player_restore();

// Collects every finished child without waiting for a running one; the
// serving loop calls it, so no child of the daemon stays a zombie.
void reap_children();
