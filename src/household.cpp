#include "household.hpp"

#include <cstdio>
#include <mutex>

#include "database.hpp"
#include "secfunc.hpp"

namespace household {
namespace {

std::vector<HouseholdListener> g_listeners;
// The state as last told; the serving thread changes it, other threads copy it.
std::mutex g_mu;
Snapshot g_now;
// Presence changed in the database since the last read.
bool g_stale = false;
// Users and the online list read after the latest presence change.
bool g_fresh = false;
std::vector<HouseholdUser> g_users;
std::vector<std::string> g_online;
std::string g_playing;
std::string g_screen = "black.jpg";

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
bool read_into(Snapshot& s)
{
    std::vector<HouseholdUser> users;
    std::vector<std::string> channels;
    if (!db_get_household(users) || !db_get_all_channels(channels))
        return false;
    s.users = std::move(users);
    s.online = split_list(db_get_all_users_by_state("online"));
    s.channels = std::move(channels);
    s.read = true;
    return true;
}

void tell(Snapshot next)
{
    Snapshot before;
    {
        std::lock_guard<std::mutex> lock(g_mu);
        if (next == g_now)
            return;
        before = g_now;
        g_now = next;
    }
    for (const HouseholdListener& l : g_listeners)
        l(before, next);
}

Snapshot current()
{
    std::lock_guard<std::mutex> lock(g_mu);
    return g_now;
}

} // namespace

void add_listener(HouseholdListener listener)
{
    g_listeners.push_back(std::move(listener));
}

bool has_listeners()
{
    return !g_listeners.empty();
}

void presence_changed()
{
    g_stale = true;
    // Read at once, on the handler's open connection: a connection of its
    // own at the end of the message costs more than the two statements.
    if (!has_listeners() || !conn)
        return;
    if (!db_get_household(g_users))
        return;
    g_online = split_list(db_get_all_users_by_state("online"));
    g_stale = false;
    g_fresh = true;
}

void playing(std::string_view channel)
{
    g_playing = channel;
}

void screen(std::string_view picture)
{
    g_screen = picture;
}

void rendered()
{
    g_screen = "out.jpg";
    if (!has_listeners())
        return;
    Snapshot next = current();
    next.screen = g_screen;
    ++next.renders;
    tell(next);
}

void refresh_on_open_connection()
{
    if (!has_listeners())
        return;
    Snapshot next = current();
    if (read_into(next))
        g_stale = false;
    next.playing = g_playing;
    next.screen = g_screen;
    tell(next);
}

void message_done(const char* current_user, const char* current_channel)
{
    if (!has_listeners())
        return;
    Snapshot next = current();
    if (g_fresh) {
        next.users = std::move(g_users);
        next.online = std::move(g_online);
        g_fresh = false;
    }
    if (g_stale || !next.read) {
        // The handlers connected a moment ago; a database gone since then
        // leaves the last state as it was rather than ending the daemon.
        std::string error;
        if (db_try_connect(error)) {
            if (read_into(next))
                g_stale = false;
            db_close();
        } else {
            std::fprintf(stderr, "[household] cannot read the household: %s\n",
                         logSafe(error).c_str());
        }
    }
    next.viewing_user = current_user;
    next.viewing_channel = current_channel;
    next.playing = g_playing;
    next.screen = g_screen;
    tell(next);
}

void all_offline()
{
    if (!has_listeners())
        return;
    Snapshot next = current();
    for (HouseholdUser& u : next.users)
        if (!u.state.empty())
            u.state = "offline";
    next.online.clear();
    next.playing = g_playing;
    next.screen = g_screen;
    tell(next);
}

Snapshot snapshot()
{
    return current();
}

} // namespace household
