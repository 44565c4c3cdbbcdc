#include "dispatch.hpp"

#include <cstdio>
#include <cstring>

#include "budget.hpp"
#include "commands.hpp"
#include "guide.hpp"
#include "log.hpp"
#include "player.hpp"
#include "secfunc.hpp"
#include "sigint.hpp"

Handlers handlers = {cmd_last,      cmd_next,      cmd_prev, cmd_join,   http_post,  cmd_leave,
                     player_notify, player_volume, cmd_list, cmd_change, cmd_fingers};

namespace {

void setCurrentUser(ViewingState& v, const Record& r)
{
    copyText(v.currentUser, VIEW_SIZE, r.name.text());
}

// The command keywords, checked in order; the row without a keyword takes
// every other text.
struct Route {
    const char* keyword;
    void (*handle)(Db& db, ViewingState& v, const Record& r);
};

const Route kRoutes[] = {
    {"last", [](Db&, ViewingState& v, const Record&) { handlers.last(v.currentUser); }},
    {"next", [](Db& db, ViewingState& v, const Record&) { handlers.next(db, v.currentChannel); }},
    {"prev", [](Db& db, ViewingState& v, const Record&) { handlers.prev(db, v.currentChannel); }},
    {"join",
     [](Db& db, ViewingState& v, const Record& r) {
         setCurrentUser(v, r);
         handlers.join(db, v.currentUser, v.currentChannel);
     }},
    {"trololo", [](Db&, ViewingState&, const Record&) { handlers.post(); }},
    {"getepg", [](Db&, ViewingState&, const Record&) { handlers.post(); }},
    {"leav",
     [](Db& db, ViewingState& v, const Record& r) {
         handlers.leave(db, r.name.text(), v.currentChannel, v.currentUser);
     }},
    {"leave",
     [](Db& db, ViewingState& v, const Record& r) {
         handlers.leave(db, r.name.text(), v.currentChannel, v.currentUser);
     }},
    {"noti",
     [](Db&, ViewingState&, const Record& r) { handlers.notify("xml notify", r.presence.text()); }},
    {"notify",
     [](Db&, ViewingState&, const Record& r) { handlers.notify("xml notify", r.presence.text()); }},
    {"volu", [](Db&, ViewingState&, const Record& r) { handlers.volume(r.presence.text()); }},
    {"volume", [](Db&, ViewingState&, const Record& r) { handlers.volume(r.presence.text()); }},
    {"list", [](Db& db, ViewingState&, const Record& r) { handlers.list(db, r.presence.text()); }},
    // The presence text names the channel; without one the current channel
    // is shown again.
    {"chan",
     [](Db& db, ViewingState& v, const Record& r) {
         handlers.change(db, r.presence.value ? r.presence.text() : v.currentChannel);
     }},
    {"change",
     [](Db& db, ViewingState& v, const Record& r) {
         handlers.change(db, r.presence.value ? r.presence.text() : v.currentChannel);
     }},
    {nullptr,
     [](Db& db, ViewingState& v, const Record& r) {
         handlers.fingers(db, r.command.text(), v.currentChannel, v.currentUser);
     }},
};

void dispatch(Db& db, ViewingState& v, const Record& r)
{
    const Route* route = kRoutes;
    while (route->keyword && std::strcmp(route->keyword, r.command.text()) != 0)
        ++route;
    route->handle(db, v, r);
}

int probability(const Field& f)
{
    return f.value ? leadingInteger(*f.value).value_or(0) : 0;
}

} // namespace

void handleRecord(Db& db, ViewingState& v, const Record& r)
{
    logLine(stdout, "\n[MSG] %s %s %s\n", r.name.shown().c_str(), r.command.shown().c_str(),
            r.presence.shown().c_str());
    if (r.command.found)
        dispatch(db, v, r);
    if (r.probability.found) {
        int prob = probability(r.probability);
        std::fprintf(stderr, "[server] user: %s, prob: %d\n", r.name.shown().c_str(), prob);
        if (prob > 50) {
            setCurrentUser(v, r);
            handlers.join(db, v.currentUser, v.currentChannel);
        }
    }
}

void handleRecords(Db& db, ViewingState& v, const std::vector<Record>& records)
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
        handleRecord(db, v, r);
    }
}
