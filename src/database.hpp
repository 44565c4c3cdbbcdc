// The presence database `dvb`: a connection as a value (one unit of work,
// opened when first needed, closed at its end) and the operations the
// handlers use, each on the connection it is given.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "household_user.hpp"
#include "settings.hpp"

#include <mysql.h>

// The longest statement the daemon sends.
constexpr std::size_t PRIKAZ_SIZE = 10000;

// One unit of work's connection: opened by the first statement that needs it
// (or by open()), closed by close() or at the end of its scope. Units of work
// never nest: a message, the shutdown, the start-up's look at the household.
class Db {
public:
    Db() = default;
    ~Db() { close(); }
    Db(const Db&) = delete;
    Db& operator=(const Db&) = delete;

    // The open connection, opened now when it is not yet: a server that
    // cannot be reached is told in the connect line on stderr and ends the
    // process (ProcessEnd, status -1) through the unit of work's caller.
    MYSQL* handle();
    // Opens the connection, or gives the library's error text and leaves
    // none open; it never ends the process.
    bool open(std::string& error);
    bool is_open() const { return m_ != nullptr; }
    void close();

    // The connection has sent its session limits (with its first write).
    bool limited = false;
    // The statement sent last, as it was sent (or refused unsent), and
    // whether it was refused.
    std::string prikaz;
    bool refused = false;

private:
    MYSQL* m_ = nullptr;
};

// The account and server: the built-in ones, or an option-file group's.
void db_configure(const Settings::Database& settings);

// Which users a list is of: those in front of this television (its room:
// online users last seen here, or at no television since the database had
// places), or the whole household. With one television the two are the same.
enum class Where { here, household };

// Readers: the empty text when nothing was found or the statement was refused.
std::string db_get_last(Db& db, std::string_view name);
std::string db_get_user_state(Db& db, std::string_view name);
std::string db_get_user_picture(Db& db, std::string_view name);
std::string db_get_all_users_by_state(Db& db, std::string_view state, Where where);
std::string db_get_all_channels_by_user(Db& db, std::string_view name);
std::string db_get_all_channels_with_state(Db& db, std::string_view state, Where where);
// The lists of this television's room.
inline std::string db_get_all_users_by_state(Db& db, std::string_view state)
{
    return db_get_all_users_by_state(db, state, Where::here);
}
inline std::string db_get_all_channels_with_state(Db& db, std::string_view state)
{
    return db_get_all_channels_with_state(db, state, Where::here);
}

// Updaters: 0 when the server accepts the statement, -1 when it refuses it.
int db_set_user_state(Db& db, std::string_view name, std::string_view state);
int db_update_user_last_channel(Db& db, std::string_view name, std::string_view channel);
int db_set_all_state(Db& db, std::string_view state);
int db_update_lasts(Db& db, std::string_view channel);

// Several televisions on one database. The database is up to date for them
// when userHasState has the column `place`: the name of the television at
// which the user was last recognised or joined (NULL: at none since it was
// added). Whether it has is looked at once, on the first open connection
// that asks (one line when it has not: the daemon then keeps to one
// television's ways). The daemon never adds the column itself.
void db_configure_place(std::string_view television);
bool db_has_places(Db& db);
// Whether the database keeps the televisions' signs of life (the table
// televisions), looked at once like the place; one line when it has places
// but not this.
bool db_has_televisions(Db& db);
// A join's write: the user online with this television as place, in one
// statement, so that no television ever sees her online without her place
// (a database without places: the state alone, as ever). 0 or -1.
int db_join_here(Db& db, std::string_view name);
// This television as the user's place, when the database has places; true
// when that changed the row.
bool db_set_user_place(Db& db, std::string_view name);
// The shutdown's everyone-offline: with places, only the users last seen at
// this television or at none (online from before the column was added);
// without, every user.
int db_set_offline_here(Db& db);

// This television's sign of life: seen now (by the server's clock, which
// every television shares), with the topic prefixes it publishes under on
// MQTT ("" for none). 1 when the row was made (a television new to the
// database, or one retired while it ran), 0 when renewed, -1 when refused.
int db_sign_of_life(Db& db, std::string_view mqtt_prefix, std::string_view discovery);
// Seconds since `television`'s last sign of life; -1 when it has left none.
long db_silent_for(Db& db, std::string_view television);
// The users online at televisions silent for more than `seconds` (every
// television but this one, or only `only`), set offline one by one, each
// only while that still holds (so that two televisions never both release a
// user, and a user who moved meanwhile stays); what was released.
struct Released {
    std::string television;
    long silent_s = 0;
    std::vector<std::string> users;
};
std::vector<Released> db_release_silent(Db& db, long seconds, std::string_view only = {});
// A television retired: the users online there set offline and its sign of
// life removed. `seen` when it ever left a sign of life or was a user's
// place; `done` when both writes were accepted.
struct Retired {
    bool seen = false, done = false;
    std::vector<std::string> users;     // set offline
    std::string mqtt_prefix, discovery; // what it published under ("" for none)
};
Retired db_retire(Db& db, std::string_view television);

// Every household user with their state, picture and place, and every
// channel, in the order of their keys, on a connection the caller has opened.
// False when the statement was refused.
bool db_get_household(Db& db, std::vector<HouseholdUser>& users);
bool db_get_all_channels(Db& db, std::vector<std::string>& channels);
