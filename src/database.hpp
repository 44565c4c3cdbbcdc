// The presence database `dvb`: one connection per unit of work, one statement
// buffer, and the operations the handlers use.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "household_user.hpp"
#include "settings.hpp"

#include <mysql.h>

constexpr std::size_t PRIKAZ_SIZE = 10000;

extern MYSQL* conn;              // the open connection, replaced by every db_connect
extern MYSQL_RES* result;        // result set being read or left pending, else null
extern MYSQL_ROW row;            // row last fetched from `result`
extern char prikaz[PRIKAZ_SIZE]; // statement being sent

// The account and server: the built-in ones, or an option-file group's.
void db_configure(const Settings::Database& settings);
// Opens the connection; ends the process with status 255 when it cannot.
void db_connect();
// Opens the connection, or gives the library's error text and leaves none open.
bool db_try_connect(std::string& error);
// Releases a pending result set and closes the connection.
void db_close();

// Readers: the empty text when nothing was found or the statement was refused.
std::string db_get_last(std::string_view name);
std::string db_get_user_state(std::string_view name);
std::string db_get_user_picture(std::string_view name);
std::string db_get_all_users_by_state(std::string_view state);
std::string db_get_all_channels_by_user(std::string_view name);
std::string db_get_all_channels_with_state(std::string_view state);

// Updaters: 0 when the server accepts the statement, -1 when it refuses it.
int db_set_user_state(std::string_view name, std::string_view state);
int db_update_user_last_channel(std::string_view name, std::string_view channel);
// These two open and close a connection of their own.
int db_set_all_state(std::string_view state);
int db_update_lasts(std::string_view channel);
// db_set_all_state's statement on the caller's connection.
int db_set_all_state_here(std::string_view state);

// Several televisions on one database. The database is up to date for them
// when userHasState has the column `place`: the name of the television at
// which the user was last recognised or joined (NULL: at none since it was
// added). Whether it has is looked at once, on the first open connection
// that asks (one line when it has not: the daemon then keeps to one
// television's ways). The daemon never adds the column itself.
void db_configure_place(std::string_view television);
bool db_has_places();
// On the caller's connection, when the database has places: this television
// as the user's place; true when that changed the row.
bool db_set_user_place(std::string_view name);
// The shutdown's everyone-offline on the caller's connection: with places,
// only the users last seen at this television or at none (online from
// before the column was added); without, every user.
int db_set_offline_here();

// Every household user with their state, picture and place, and every channel, in
// the order of their keys; on the caller's connection. False when the
// statement was refused.
bool db_get_household(std::vector<HouseholdUser>& users);
bool db_get_all_channels(std::vector<std::string>& channels);
