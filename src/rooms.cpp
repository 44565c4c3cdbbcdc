#include "rooms.hpp"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "clock.hpp"
#include "commands.hpp"
#include "doors.hpp"
#include "household.hpp"
#include "log.hpp"
#include "player.hpp"
#include "secfunc.hpp"

namespace rooms {
namespace {

using Clock = MonotonicClock;
using std::chrono::seconds;

// Other televisions' changes show on the page, on MQTT and on the screen
// within this, plus a statement or two.
constexpr auto TICK = std::chrono::milliseconds(2000);

struct State {
    std::string television, mqtt_prefix, discovery;
    long away_after = 0;          // seconds; 0: nobody is ever released
    Clock::duration sign_every{}; // a quarter of away_after, at most a minute
    Clock::time_point next_tick{}, next_sign{};
    // Since when the database has answered every tick: a television judges
    // others only after they have had a sign's time to leave theirs (after
    // its own start, or an outage that held every television back alike).
    Clock::time_point answering_since = Clock::time_point::max();
    bool unreachable_told = false;
    bool started = false;
} g;

std::vector<std::string> sorted_items(const std::string& list)
{
    std::vector<std::string> items;
    for (int p = 0, n = countList(list); p < n; ++p)
        items.push_back(getAtPos(list, p));
    std::sort(items.begin(), items.end());
    return items;
}

std::string joined(const std::vector<std::string>& names)
{
    std::string out;
    for (const std::string& n : names)
        out += (out.empty() ? "" : ", ") + n;
    return logSafe(out);
}

void sign_of_life(Db& db)
{
    const int r = db_sign_of_life(db, g.mqtt_prefix, g.discovery);
    if (r < 0)
        return;
    g.next_sign = Clock::now() + g.sign_every;
    // Retired while it ran: the row is made again, and what it published on
    // MQTT, cleared, is told anew.
    if (r == 1 && g.started) {
        logLine(stderr, "[rooms] %s had no sign of life in the database (retired while it ran?); "
                        "it has one again\n",
                logSafe(g.television).c_str());
        household::announce();
    }
}

void release_silent(Db& db)
{
    for (const Released& r : db_release_silent(db, g.away_after))
        logLine(stderr, "[rooms] %s silent for %ld s (away_after %ld): %s set offline\n",
                logSafe(r.television).c_str(), r.silent_s, g.away_after, joined(r.users).c_str());
}

// The room changed without a message of this television's: the screen
// follows as a leave would for those who went (the first user here, the
// channel kept when the room still has it), the welcome on the screen is
// drawn again for the room, and nothing is shown once the room is empty.
void follow_room(Db& db, ViewingState& view, const std::string& onlines)
{
    const std::string channels = db_get_all_channels_with_state(db, "online");
    if (db.refused)
        return;
    logLine(stderr, "[rooms] %s's room changed: online here '%s' (was '%s')\n",
            logSafe(g.television).c_str(), logSafe(onlines).c_str(),
            logSafe(household::shown_room()).c_str());
    household::room_shown(onlines);
    const std::string playing = household::playing_now();
    if (onlines.empty()) {
        if (!playing.empty() || household::welcome_on_screen())
            player_restore();
        view.currentUser[0] = view.currentChannel[0] = '\0';
        return;
    }
    if (findItem(view.currentUser, onlines) < 0)
        chooseAsLeave(db, onlines, channels, view.currentUser, view.currentChannel);
    if (household::welcome_on_screen()) {
        const std::string picture = db_get_user_picture(db, view.currentUser);
        player_set_background(view.currentUser, onlines.c_str(), channels.c_str(),
                              picture.c_str());
    }
    if (playing.empty())
        return;
    if (findItem(playing, channels) >= 0) {
        copyText(view.currentChannel, VIEW_SIZE, playing);
        return;
    }
    // What plays is no channel of the room's any more.
    std::string next = view.currentChannel;
    if (findItem(next, channels) < 0)
        next = db_get_last(db, view.currentUser);
    if (findItem(next, channels) < 0)
        next = getAtPos(channels, 0);
    copyText(view.currentChannel, VIEW_SIZE, next);
    if (next.empty())
        player_restore();
    else
        player_set_channel(db, view.currentChannel);
}

} // namespace

void configure(const Settings& settings)
{
    g.television = settings.server.name;
    g.away_after = settings.server.away_after;
    if (!settings.mqtt.host.empty()) {
        g.mqtt_prefix = settings.mqtt.prefix;
        g.discovery = settings.mqtt.discovery;
    }
    const long quarter = g.away_after > 0 ? std::min<long>(g.away_after / 4, 60) : 60;
    g.sign_every = std::max<Clock::duration>(seconds(quarter), TICK);
}

bool start(Db& db)
{
    g.next_tick = Clock::now() + TICK;
    // Without the database the start has said so already.
    g.unreachable_told = !db.is_open();
    if (!db.is_open() || !db_has_televisions(db))
        return true;
    const long silent = db_silent_for(db, g.television);
    const bool away = g.away_after > 0 && silent > g.away_after;
    if (away) {
        std::vector<std::string> users;
        for (const Released& r : db_release_silent(db, g.away_after, g.television))
            users.insert(users.end(), r.users.begin(), r.users.end());
        logLine(stderr, "[rooms] %s was away for %ld s (away_after %ld): the plain start; %s\n",
                logSafe(g.television).c_str(), silent, g.away_after,
                users.empty() ? "nobody was online here"
                              : (joined(users) + " set offline").c_str());
    }
    sign_of_life(db);
    g.started = true;
    household::room_shown(db_get_all_users_by_state(db, "online"));
    return !away;
}

long ms_to_tick()
{
    const auto left = g.next_tick - Clock::now();
    return std::max<long>(0, std::chrono::duration_cast<std::chrono::milliseconds>(left).count());
}

void tick(ViewingState& view)
{
    const auto now = Clock::now();
    g.next_tick = now + TICK;
    Db db;
    std::string error;
    if (!db.open(error)) {
        g.answering_since = Clock::time_point::max();
        if (!g.unreachable_told)
            logLine(stderr, "[rooms] the database is not reached (%s); other televisions are "
                            "not followed until it answers\n",
                    logSafe(error).c_str());
        g.unreachable_told = true;
        return;
    }
    if (g.unreachable_told)
        logLine(stderr, "[rooms] the database answers again\n");
    g.unreachable_told = false;
    if (g.answering_since == Clock::time_point::max())
        g.answering_since = now;

    if (db_has_televisions(db)) {
        if (!g.started || now >= g.next_sign) {
            sign_of_life(db);
            g.started = true;
        }
        if (g.away_after > 0 && now - g.answering_since >= g.sign_every + TICK)
            release_silent(db);
    }
    household::refresh(db);
    if (!db_has_places(db))
        return;
    const std::string onlines = db_get_all_users_by_state(db, "online");
    if (db.refused)
        return;
    if (!household::room_known()) {
        household::room_shown(onlines); // the first look after a start without the database
        return;
    }
    if (sorted_items(onlines) == sorted_items(household::shown_room()))
        return;
    follow_room(db, view, onlines);
    household::message_done(db, view.currentUser, view.currentChannel);
}

int retire(const Settings& settings, const std::string& television)
{
    db_configure(settings.database);
    db_configure_place(settings.server.name);
    Db db;
    std::string error;
    if (!db.open(error)) {
        std::fprintf(stderr, "velmora-server: --retire: the database is not reached: %s\n",
                     logSafe(error).c_str());
        return 1;
    }
    const Retired r = db_retire(db, television);
    const std::string name = logSafe(television);
    if (!r.seen && !db.refused) {
        std::fprintf(stderr,
                     "velmora-server: --retire: no television named '%s' was ever seen in the "
                     "household's database\n",
                     name.c_str());
        return 2;
    }
    if (!r.done)
        return 1; // the refused statement said why
    std::string said = "retired " + name + ": " +
                       (r.users.empty() ? "nobody was online there" : joined(r.users) + " set offline") +
                       ", its sign of life removed";
    if (r.mqtt_prefix.empty()) {
        said += ", nothing of it on MQTT";
    } else if (settings.mqtt.host.empty()) {
        said += "; its topics under " + logSafe(r.mqtt_prefix) +
                " are left (no [mqtt] host in the settings)";
    } else {
        std::string why;
        const int cleared = mqtt_clear_retained(settings, r.mqtt_prefix, r.discovery, why);
        if (cleared < 0) {
            std::fprintf(stderr, "velmora-server: %s; its retained topics under %s: %s\n",
                         said.c_str(), logSafe(r.mqtt_prefix).c_str(), why.c_str());
            return 1;
        }
        said += ", " + std::to_string(cleared) + " retained topics of it cleared on MQTT";
    }
    std::printf("velmora-server: %s\n", said.c_str());
    return 0;
}

} // namespace rooms
