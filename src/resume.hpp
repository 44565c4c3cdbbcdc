// The television brought back after an end other than the orderly shutdown,
// for the users the database says are online now.
#pragma once

#include <string_view>

// At start, after the screen restore and before the port is served: what the
// state file says the television showed is shown again. The welcome is
// rendered and set as a join sets it, the viewing-state buffers are set as
// they were (or, when the current user is no longer online, as a leave would
// set them), and a channel that played plays again. Nobody online, or no
// database: the screen stays black, with one line.
void resume_television(std::string_view television, char* current_user, char* current_channel);

// The display watch: a screen that has come shows what the television shows
// now, as a start after a crash would (the black screen, then the welcome
// when it is on the screen, and the channel that plays).
void resume_show(char* current_user, char* current_channel);
