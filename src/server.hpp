// Process life: start-up, the serving loop on port 5003 and the other
// sources, SIGINT and the shutdown sequence. The process ends here, in one
// place, with the status that a room reported (process_end.hpp) or 0 after
// the shutdown.
#pragma once

#include <libxml/tree.h>

#include "database.hpp"
#include "settings.hpp"
#include "viewing.hpp"

// The listening descriptor, for the shutdown sequence.
extern int* p_soc;

// Reads one message and hands its user records to the keyword table, on the
// message's connection; a text that is not a document of the required shape
// is told in its line on stderr and ends the process (ProcessEnd, -1).
void parseThis(Db& db, ViewingState& view, const char* text);
// One `user` element of a parsed message: read and handled.
void parseUsers(Db& db, ViewingState& view, xmlDocPtr doc, xmlNodePtr cur);

// SIGINT: notes the signal; the serving loop runs the shutdown sequence.
void signalHandler(int sig_number);

// The first thing the process does: descriptors 0-2 open (on /dev/null when
// they were not), SIGPIPE ignored (a log line that cannot be written is
// lost, the daemon goes on), and SIGINT noted from here on.
void server_guard_process();
// Start-up and the serving loop until the process ends: 0 after the
// shutdown sequence, -1 when a socket call fails, a message is rejected or
// the database cannot be reached, 2 for a key file that cannot be used.
int server_main(const Settings& settings);
