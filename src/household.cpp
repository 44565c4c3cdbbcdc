#include "household.hpp"

#include <cstdio>
#include <mutex>

#include "database.hpp"
#include "log.hpp"
#include "secfunc.hpp"
#include "tv_state.hpp"

namespace household {
namespace {

std::vector<std::pair<std::size_t, HouseholdListener>> g_listeners;
std::size_t g_last_id = 0;
// The state as last told; the serving thread changes it, other threads copy it.
std::mutex g_mu;
Snapshot g_now;
// The state as the handlers and the player leave it, told at the end of each
// message; only the serving thread touches it.
Snapshot g_next;
// Presence changed in the database and could not be read yet.
bool g_stale = false;
// A welcome was set since the screen was last restored.
bool g_welcome = false;
// The room the screen was last made from, once known.
std::string g_room;
bool g_room_known = false;

std::vector<std::string> split_list(const std::string& list)
{
    std::vector<std::string> items;
    for (int p = 0, n = countList(list); p < n; ++p)
        items.push_back(getAtPos(list, p));
    return items;
}

// Reads everything the database knows into `s`, on the open connection. A
// refused statement leaves `s` as it was: a household that cannot be read
// for a moment has not lost its users.
bool read_into(Db& db, Snapshot& s)
{
    std::vector<HouseholdUser> users;
    std::vector<std::string> channels;
    if (!db_get_household(db, users) || !db_get_all_channels(db, channels))
        return false;
    s.users = std::move(users);
    s.online = split_list(db_get_all_users_by_state(db, "online", Where::household));
    s.channels = std::move(channels);
    s.read = true;
    return true;
}

// The unit of work's connection closed and opened again, and the household
// read on it.
bool reopened(Db& db, std::string& error)
{
    db.close();
    return db.open(error) && read_into(db, g_next);
}

void tell(const Snapshot& next)
{
    Snapshot before;
    {
        std::lock_guard<std::mutex> lock(g_mu);
        if (next == g_now)
            return;
        before = g_now;
        g_now = next;
    }
    for (const auto& l : g_listeners)
        l.second(before, next);
}

} // namespace

std::size_t add_listener(HouseholdListener listener)
{
    g_listeners.emplace_back(++g_last_id, std::move(listener));
    return g_last_id;
}

void remove_listener(std::size_t id)
{
    for (auto it = g_listeners.begin(); it != g_listeners.end(); ++it)
        if (it->first == id) {
            g_listeners.erase(it);
            return;
        }
}

bool has_listeners()
{
    return !g_listeners.empty();
}

void presence_changed(Db& db)
{
    // Read at once, on the handler's open connection.
    if (!has_listeners())
        return;
    std::vector<HouseholdUser> users;
    g_stale = !db.is_open() || !db_get_household(db, users);
    if (g_stale)
        return;
    g_next.users = std::move(users);
    g_next.online = split_list(db_get_all_users_by_state(db, "online", Where::household));
}

void name(std::string_view television)
{
    g_next.television = television;
    std::lock_guard<std::mutex> lock(g_mu);
    g_now.television = television;
}

void playing(std::string_view channel)
{
    g_next.playing = channel;
}

void screen(std::string_view picture)
{
    g_next.screen = picture;
    g_welcome = false;
}

void welcomed()
{
    g_welcome = true;
}

void rendered()
{
    g_next.screen = "out.jpg";
    ++g_next.renders;
    if (has_listeners())
        tell(g_next);
}

void refresh(Db& db)
{
    if (!has_listeners())
        return;
    if (read_into(db, g_next))
        g_stale = false;
    tell(g_next);
}

void message_done(Db& db, const char* current_user, const char* current_channel)
{
    tv_state::keep(current_user, current_channel, g_next.playing, g_welcome);
    if (!has_listeners())
        return;
    if (g_stale || !g_next.read) {
        // A database gone since the handlers used it leaves the last state as
        // it was rather than ending the daemon.
        // A connection that failed the handlers is tried once afresh.
        const bool was_open = db.is_open();
        std::string error;
        if (db.open(error) && (read_into(db, g_next) || (was_open && reopened(db, error))))
            g_stale = false;
        else if (!error.empty())
            std::fprintf(stderr, "[household] cannot read the household: %s\n",
                         logSafe(error).c_str());
    }
    g_next.viewing_user = current_user;
    g_next.viewing_channel = current_channel;
    tell(g_next);
}

Snapshot snapshot()
{
    std::lock_guard<std::mutex> lock(g_mu);
    return g_now;
}

void announce()
{
    ++g_next.announced;
}

void room_shown(const std::string& onlines)
{
    g_room = onlines;
    g_room_known = true;
}

bool room_known()
{
    return g_room_known;
}

const std::string& shown_room()
{
    return g_room;
}

const std::string& playing_now()
{
    return g_next.playing;
}

bool welcome_on_screen()
{
    return g_welcome;
}

} // namespace household
