// The keyword table and the probability rule: each user record of a message
// to its handler call, whichever source the message came from.
#pragma once

#include <vector>

#include "database.hpp"
#include "record.hpp"
#include "viewing.hpp"

// The handlers the keyword table calls, in one replaceable table so that a
// test or fuzz target can put recording doubles in their place.
struct Handlers {
    int (*last)(char* name);
    int (*next)(Db& db, char* current_channel);
    int (*prev)(Db& db, char* current_channel);
    int (*join)(Db& db, char* name, char* current_channel);
    int (*post)();
    int (*leave)(Db& db, const char* name, char* current_channel, char* current_user);
    int (*notify)(const char* title, const char* text);
    int (*volume)(const char* type);
    int (*list)(Db& db, const char* state);
    int (*change)(Db& db, const char* chnnl);
    int (*fingers)(Db& db, const char* cmd, char* currentChannel, char* currentUser);
};
extern Handlers handlers; // the real handlers unless replaced

// One record: logged, dispatched by the keyword table when it has a command,
// then put to the probability rule when it has a probability. The handlers
// get the message's connection and the viewing state's buffers.
void handleRecord(Db& db, ViewingState& view, const Record& r);
// The records of one message, in order, sharing the message's time budget.
// After SIGINT the record in hand is finished and the rest are left.
void handleRecords(Db& db, ViewingState& view, const std::vector<Record>& records);
