// Process life: start-up, the serving loop on port 5003 and the other
// sources, SIGINT and the shutdown sequence.
#pragma once

#include <libxml/tree.h>

#include "settings.hpp"

// The listening descriptor, for the shutdown sequence.
extern int* p_soc;

// Reads one message and hands its user records to the keyword table; ends
// the process with status 255 when the text is not a document of the
// required shape.
void parseThis(const char* text);
// One `user` element of a parsed message: read and handled.
void parseUsers(xmlDocPtr doc, xmlNodePtr cur);

// How a rejected message ends the process: exit(status) unless replaced. A
// replacement must not return (it may throw or longjmp).
extern void (*rejectExit)(int status);

// SIGINT: notes the signal; the serving loop runs the shutdown sequence.
void signalHandler(int sig_number);

// The first thing the process does: descriptors 0-2 open (on /dev/null when
// they were not), SIGPIPE ignored (a log line that cannot be written is
// lost, the daemon goes on), and SIGINT noted from here on.
void server_guard_process();
// Start-up and the serving loop; returns -1 when a socket call fails.
int server_main(const Settings& settings);
