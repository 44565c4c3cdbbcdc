// The web server: the household's remote, its interface and the page's files.
#pragma once

#include "settings.hpp"

// Before the start-up restore: binds the page's address, so that a port that
// is taken ends the start before the television is touched; false after one
// line on stderr.
bool web_bind(const Settings& settings);
// After the start-up restore: listens to the household state and serves.
void web_start();
void web_stop();
