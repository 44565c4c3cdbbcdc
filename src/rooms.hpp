// Several televisions on one household database: what a television learns
// from the database that no message brings it. On a bounded tick of the
// serving loop it leaves its own sign of life, sets offline the users of a
// television gone silent, reads the household again for its listeners (the
// page, MQTT) and follows its own room on the screen when another
// television, an operator or a release changed it.
#pragma once

#include <string>

#include "database.hpp"
#include "settings.hpp"
#include "viewing.hpp"

namespace rooms {

// At start, before anything else of this room.
void configure(const Settings& settings);
// At start, on the start's connection, before the resume: false when this
// television has been away longer than away_after (its users are then set
// offline, one line says so, and the start is the plain one).
bool start(Db& db);
// Milliseconds until the tick is due (0: now), for the serving loop's wait.
long ms_to_tick();
// The tick, on the serving thread, when it is due.
void tick(ViewingState& view);

// velmora-server --retire NAME: the users last seen at NAME set offline, its
// sign of life removed and, with MQTT in the settings, every retained topic
// it published cleared. The exit status, after one line.
int retire(const Settings& settings, const std::string& television);

} // namespace rooms
