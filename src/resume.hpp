// The television brought back after an end other than the orderly shutdown,
// for the users the database says are online now.
#pragma once

#include <string_view>

#include "viewing.hpp"

// At start, after the screen restore and before the port is served: what the
// state file says the television showed is shown again. The welcome is
// rendered and set as a join sets it, the viewing state is set as it was (or,
// when the current user is no longer online, as a leave would set it), and a
// channel that played plays again. Nobody online, or no database: the screen
// stays black, with one line.
void resume_television(std::string_view television, ViewingState& view);
