// The time one message may hold the daemon: 15 s at most. The programs it
// waits for and its guide exchanges share that time from
// message_budget_reset() on; once it is spent, their remaining waits end at
// once. message_budget_end() ends the message: the start-up restore and the
// shutdown keep only their bounds per program (and the guide its own 15 s).
#pragma once

#include <chrono>

constexpr auto MESSAGE_BUDGET = std::chrono::seconds(15);

void message_budget_reset();
void message_budget_end();
// What is left of the message's time, zero once spent; MESSAGE_BUDGET outside
// a message.
std::chrono::milliseconds message_time_left();
