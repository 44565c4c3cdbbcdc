// The web server: the household's remote, its interface and the page's files.
#pragma once

#include "settings.hpp"

// Before the start-up restore: reads the key and binds the page's address,
// so that a key file that cannot be used or a port that is taken ends the
// start before the television is touched. 0, or the exit status after one
// line on stderr: 2 for the key file (a setting to mend, not to retry), -1
// for the port.
int web_bind(const Settings& settings);
// After the start-up restore: listens to the household state and serves.
void web_start();
void web_stop();
