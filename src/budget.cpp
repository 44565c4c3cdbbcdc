#include "budget.hpp"

#include <algorithm>
#include <optional>

#include "clock.hpp"

namespace {

using Clock = MonotonicClock;
// The end of the message in hand's time; none outside a message.
std::optional<Clock::time_point> g_message_end;

} // namespace

void message_budget_reset()
{
    g_message_end = Clock::now() + MESSAGE_BUDGET;
}

void message_budget_end()
{
    g_message_end.reset();
}

std::chrono::milliseconds message_time_left()
{
    if (!g_message_end)
        return MESSAGE_BUDGET;
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(*g_message_end - Clock::now());
    return std::max(left, std::chrono::milliseconds::zero());
}
