// One way to run a statement, for the database room's own files: a template
// whose %s are filled with escaped values, sent on the unit of work's
// connection, and on refusal the operation's line on stderr.
#pragma once

#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>

#include "database.hpp"

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
// Formats the template with its values and sends it; an UPDATE goes with
// the session limits. On refusal logs "[op] Failed to select '...' from MYSQL
// database 'dvb': ..." and returns false. A statement longer than
// PRIKAZ_SIZE - 1 is refused unsent.
bool run(Db& db, const char* op, const char* tmpl, std::initializer_list<Arg> args);
// The next result set of the statement sent last; none when there is no
// further one.
Result next_result(MYSQL* conn, bool first = true);
// The first value of the next row; false at the end. A NULL value is passed
// over.
bool next_value(MYSQL_RES* result, std::string_view& value);

} // namespace statement

// " AND (userHasState.place IS NULL OR userHasState.place='NAME')": this
// television's room as a condition of the online lists; "" on a database
// without places.
std::string here_clause(Db& db);
