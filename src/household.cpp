#include "household.hpp"

#include <cstdio>
#include <mutex>

#include "database.hpp"
#include "log.hpp"
#include "secfunc.hpp"
#include "tv_state.hpp"

namespace household {
namespace {

std::vector<HouseholdListener> g_listeners;
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
    for (const HouseholdListener& l : g_listeners)
        l(before, next);
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
    // Read at once, on the handler's open connection: a connection of its
    // own at the end of the message costs more than the two statements.
    if (!has_listeners())
        return;
    std::vector<HouseholdUser> users;
    g_stale = !conn || !db_get_household(users);
    if (g_stale)
        return;
    g_next.users = std::move(users);
    g_next.online = split_list(db_get_all_users_by_state("online"));
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

void refresh_on_open_connection()
{
    if (!has_listeners())
        return;
    if (read_into(g_next))
        g_stale = false;
    tell(g_next);
}

void message_done(const char* current_user, const char* current_channel)
{
    tv_state::keep(current_user, current_channel, g_next.playing, g_welcome);
    if (!has_listeners())
        return;
    if (g_stale || !g_next.read) {
        // The handlers connected a moment ago; a database gone since then
        // leaves the last state as it was rather than ending the daemon.
        std::string error;
        if (db_try_connect(error)) {
            if (read_into(g_next))
                g_stale = false;
            db_close();
        } else {
            std::fprintf(stderr, "[household] cannot read the household: %s\n",
                         logSafe(error).c_str());
        }
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

} // namespace household
