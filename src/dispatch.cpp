#include "dispatch.hpp"

#include <cstdio>
#include <cstring>

#include "commands.hpp"
#include "log.hpp"
#include "secfunc.hpp"
#include "sigint.hpp"

char* p_currentUser = nullptr;
char* p_currentChannel = nullptr;

Handlers handlers = {cmd_last,      cmd_next,      cmd_prev, cmd_join,   http_post,  cmd_leave,
                     player_notify, player_volume, cmd_list, cmd_change, cmd_fingers};

namespace {

void setCurrentUser(const Record& r)
{
    copyText(p_currentUser, VIEW_SIZE, r.name.text());
}

// The command keywords, checked in order; the row without a keyword takes
// every other text.
struct Route {
    const char* keyword;
    void (*handle)(const Record&);
};

const Route kRoutes[] = {
    {"last", [](const Record&) { handlers.last(p_currentUser); }},
    {"next", [](const Record&) { handlers.next(p_currentChannel); }},
    {"prev", [](const Record&) { handlers.prev(p_currentChannel); }},
    {"join",
     [](const Record& r) {
         setCurrentUser(r);
         handlers.join(p_currentUser, p_currentChannel);
     }},
    {"trololo", [](const Record&) { handlers.post(); }},
    {"getepg", [](const Record&) { handlers.post(); }},
    {"leav",
     [](const Record& r) { handlers.leave(r.name.text(), p_currentChannel, p_currentUser); }},
    {"leave",
     [](const Record& r) { handlers.leave(r.name.text(), p_currentChannel, p_currentUser); }},
    {"noti", [](const Record& r) { handlers.notify("xml notify", r.presence.text()); }},
    {"notify", [](const Record& r) { handlers.notify("xml notify", r.presence.text()); }},
    {"volu", [](const Record& r) { handlers.volume(r.presence.text()); }},
    {"volume", [](const Record& r) { handlers.volume(r.presence.text()); }},
    {"list", [](const Record& r) { handlers.list(r.presence.text()); }},
    // The presence text names the channel; without one the current channel
    // is shown again.
    {"chan",
     [](const Record& r) {
         handlers.change(r.presence.value ? r.presence.text() : p_currentChannel);
     }},
    {"change",
     [](const Record& r) {
         handlers.change(r.presence.value ? r.presence.text() : p_currentChannel);
     }},
    {nullptr,
     [](const Record& r) { handlers.fingers(r.command.text(), p_currentChannel, p_currentUser); }},
};

void dispatch(const Record& r)
{
    const Route* route = kRoutes;
    while (route->keyword && std::strcmp(route->keyword, r.command.text()) != 0)
        ++route;
    route->handle(r);
}

int probability(const Field& f)
{
    return f.value ? leadingInteger(*f.value).value_or(0) : 0;
}

} // namespace

void handleRecord(const Record& r)
{
    logLine(stdout, "\n[MSG] %s %s %s\n", r.name.shown().c_str(), r.command.shown().c_str(),
            r.presence.shown().c_str());
    if (r.command.found)
        dispatch(r);
    if (r.probability.found) {
        int prob = probability(r.probability);
        std::fprintf(stderr, "[server] user: %s, prob: %d\n", r.name.shown().c_str(), prob);
        if (prob > 50) {
            setCurrentUser(r);
            handlers.join(p_currentUser, p_currentChannel);
        }
    }
}

void handleRecords(const std::vector<Record>& records)
{
    // The programs and guide exchanges of one message share one time budget.
    message_budget_reset();
    struct BudgetEnd {
        ~BudgetEnd() { message_budget_end(); }
    } budget_end;
    bool first = true;
    for (const Record& r : records) {
        if (!first && shutdown_requested())
            break;
        first = false;
        handleRecord(r);
    }
}
