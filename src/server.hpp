// Process life, the listener on port 5003 and the message parser.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <libxml/tree.h>

#include "settings.hpp"

// The viewing state: current user and current channel, VIEW_SIZE bytes each,
// allocated once at start-up and changed in place by the handlers.
extern char* p_currentUser;
extern char* p_currentChannel;
// The listening descriptor, for the shutdown sequence.
extern int* p_soc;

// One field of a user record: whether its element occurred, and its value
// when it has one (an element without text has none).
struct Field {
    bool found = false;
    std::optional<std::string> value;

    // The field from an XML element: its text, CDATA and entity children.
    void take(xmlDocPtr doc, xmlNodePtr element);
    // The field with this value (cut to the longest value a field holds).
    void set(std::optional<std::string> v);
    // What a handler gets: a missing value is the empty text.
    const char* text() const { return value ? value->c_str() : ""; }
    // What the log shows: a missing value is told from an empty one.
    std::string shown() const;
};

// A user record: what one `user` element of a message says.
struct Record {
    Field name, command, presence, probability;
};

// Parses one message and dispatches every user record; ends the process with
// status 255 when the text is not a document of the required shape.
void parseThis(const char* text);
// The parse of one message: what xmlReadMemory(text, strlen(text), "text.xml",
// NULL, 0) returns, without its cost per message. The caller frees the result.
xmlDocPtr readMessage(const char* text);
void parseUsers(xmlDocPtr doc, xmlNodePtr cur);
// The records of one message, in order: each is logged, dispatched by the
// keyword table and put to the probability rule. After SIGINT the record in
// hand is finished and the rest are left.
void handleRecords(const std::vector<Record>& records);
// A field element's value: xmlNodeListGetString(doc, element->children, 1) as
// long as its entities nest at most 40 deep, cut at 4096 bytes on a character
// boundary; none where that gives none.
std::optional<std::string> fieldValue(xmlDocPtr doc, xmlNodePtr element);

// The handlers the keyword table calls, in one replaceable table so that a
// test or fuzz target can put recording doubles in their place.
struct Handlers {
    int (*last)(char* name);
    int (*next)(char* current_channel);
    int (*prev)(char* current_channel);
    int (*join)(char* name, char* current_channel);
    int (*post)();
    int (*leave)(const char* name, char* current_channel, char* current_user);
    int (*notify)(const char* title, const char* text);
    int (*volume)(const char* type);
    int (*list)(const char* state);
    int (*change)(const char* chnnl);
    int (*fingers)(const char* cmd, char* currentChannel, char* currentUser);
};
extern Handlers handlers; // the real handlers unless replaced

// How a rejected message ends the process: exit(status) unless replaced. A
// replacement must not return (it may throw or longjmp).
extern void (*rejectExit)(int status);

// SIGINT: notes the signal; the serving loop runs the shutdown sequence.
void signalHandler(int sig_number);

// True once SIGINT has come and until the shutdown sequence begins: every
// wait of the message in hand ends early, and no further record or
// connection is taken up.
bool shutdown_requested();

// The first thing the process does: descriptors 0-2 open (on /dev/null when
// they were not), SIGPIPE ignored (a log line that cannot be written is
// lost, the daemon goes on), and SIGINT noted from here on.
void server_guard_process();
// Start-up and the serving loop; returns -1 when a socket call fails.
int server_main(const Settings& settings);
// A stream socket bound to `at` ([::] takes IPv4 as well), not yet
// listening; -1 with errno set, and the call that failed in `failed`, when it
// cannot be made or bound.
int bindAddress(const ListenAddress& at, const char** failed = nullptr);
