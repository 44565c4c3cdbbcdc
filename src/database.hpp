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
    // The statement sent last, as it was sent (or refused unsent).
    std::string prikaz;

private:
    MYSQL* m_ = nullptr;
};

// The account and server: the built-in ones, or an option-file group's.
void db_configure(const Settings::Database& settings);

// Readers: the empty text when nothing was found or the statement was refused.
std::string db_get_last(Db& db, std::string_view name);
std::string db_get_user_state(Db& db, std::string_view name);
std::string db_get_user_picture(Db& db, std::string_view name);
std::string db_get_all_users_by_state(Db& db, std::string_view state);
std::string db_get_all_channels_by_user(Db& db, std::string_view name);
std::string db_get_all_channels_with_state(Db& db, std::string_view state);

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
// This television as the user's place, when the database has places; true
// when that changed the row.
bool db_set_user_place(Db& db, std::string_view name);
// The shutdown's everyone-offline: with places, only the users last seen at
// this television or at none (online from before the column was added);
// without, every user.
int db_set_offline_here(Db& db);

// Every household user with their state, picture and place, and every
// channel, in the order of their keys, on a connection the caller has opened.
// False when the statement was refused.
bool db_get_household(Db& db, std::vector<HouseholdUser>& users);
bool db_get_all_channels(Db& db, std::vector<std::string>& channels);
