// The keyword table and the probability rule: each user record of a message
// to its handler call, whichever source the message came from.
#pragma once

#include <vector>

#include "record.hpp"

// The viewing state: current user and current channel, VIEW_SIZE bytes each,
// allocated once at start-up and changed in place by the handlers.
extern char* p_currentUser;
extern char* p_currentChannel;

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

// One record: logged, dispatched by the keyword table when it has a command,
// then put to the probability rule when it has a probability.
void handleRecord(const Record& r);
// The records of one message, in order, sharing the message's time budget.
// After SIGINT the record in hand is finished and the rest are left.
void handleRecords(const std::vector<Record>& records);
