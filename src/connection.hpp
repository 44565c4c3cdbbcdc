// The presence database's connection: one unit of work's, as a value, and
// one way to run a statement on it (a template whose %s are filled with
// escaped values; on refusal the operation's line on stderr).
#pragma once

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>

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
    // The rows the last write changed (not merely matched); 0 after a
    // refused one.
    unsigned long long changed = 0;

private:
    MYSQL* m_ = nullptr;
};

// The account and server: the built-in ones, or an option-file group's.
void db_configure(const Settings::Database& settings);

// What the statements met since the last look, for the television's health:
// failed when the server refused one or a connection could not be made,
// answered when everything went through, untried when nothing was sent.
// Each look starts afresh. The serving thread's.
enum class DbLook { untried, answered, failed };
DbLook db_look();

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
// This television's name, as a user's place.
const std::string& db_place();
// " AND (userHasState.place IS NULL OR userHasState.place='NAME')": this
// television's room as a condition of the online lists; "" on a database
// without places.
std::string here_clause(Db& db);

namespace statement {

// One value for a %s of a template: escaped as the content of an SQL string
// literal, or inserted as it is when the caller has built it from escaped
// parts (or it is a number).
struct Arg {
    std::string_view text;
    bool raw = false;
};

struct ResultFree {
    void operator()(MYSQL_RES* r) const { mysql_free_result(r); }
};
// A result set, released by its owner.
using Result = std::unique_ptr<MYSQL_RES, ResultFree>;

std::string escape(MYSQL* conn, std::string_view s);
// Formats the template with its values and sends it; a write (UPDATE,
// INSERT, DELETE) goes with the session limits. On refusal logs "[op] Failed to select '...' from
// MYSQL database 'dvb': ..." and returns false. A statement longer than PRIKAZ_SIZE - 1 is refused
// unsent.
bool run(Db& db, const char* op, const char* tmpl, std::initializer_list<Arg> args);
// The next result set of the statement sent last; none when there is no
// further one.
Result next_result(MYSQL* conn, bool first = true);
// The first value of the next row; false at the end. A NULL value is passed
// over.
bool next_value(MYSQL_RES* result, std::string_view& value);

} // namespace statement
