#include "connection.hpp"

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <memory>

#include <errmsg.h>
#include <mysqld_error.h>

#include "log.hpp"
#include "process_end.hpp"
#include "secfunc.hpp"

using namespace statement;

namespace {

// A server that does not answer (stopped, or a statement stuck on a lock)
// fails the connect or the statement after this long instead of holding the
// daemon.
constexpr unsigned int DB_TIMEOUT_S = 5;
// The server gives up on a lock or a statement before the client does, so a
// write the daemon reports as refused can never take effect later. Reads
// never wait on a row lock and go without; a connection's first write sends
// them in the same round trip as itself.
constexpr const char* SESSION_LIMITS[] = {"lock_wait_timeout", "innodb_lock_wait_timeout",
                                          "max_statement_time"};
constexpr std::size_t LIMIT_COUNT = std::size(SESSION_LIMITS);
// For the process: the limits the server refused (a MySQL server has no
// max_statement_time), left out from then on, and whether that was told.
bool g_refused[LIMIT_COUNT] = {};
bool g_refusal_told = false;
// What the statements met since the last look (db_look).
bool g_failed = false, g_answered = false;

} // namespace

std::string statement::escape(MYSQL* conn, std::string_view s)
{
    std::string out(s.size() * 2 + 1, '\0');
    out.resize(mysql_real_escape_string(conn, out.data(), s.data(), s.size()));
    return out;
}

namespace {

// An error of the client library (the connection), not the server's answer.
bool client_error(unsigned code)
{
    return (code >= CR_MIN_ERROR && code <= CR_MAX_ERROR) || (code >= 5000 && code < 6000);
}

// One SET of the limits the server has not refused, or "" when it refused all.
std::string limits_statement()
{
    std::string set;
    for (std::size_t i = 0; i < LIMIT_COUNT; ++i)
        if (!g_refused[i])
            set += (set.empty() ? "SET SESSION " : ", ") + std::string(SESSION_LIMITS[i]) + "=3";
    return set;
}

// After the server refused the limits together: each one alone, so that it
// keeps those it has. What it refuses is left out from then on and named in
// one line, once for the process.
void limits_one_by_one(MYSQL* conn)
{
    std::string refused;
    for (std::size_t i = 0; i < LIMIT_COUNT; ++i) {
        if (g_refused[i])
            continue;
        std::string set = "SET SESSION " + std::string(SESSION_LIMITS[i]) + "=3";
        if (mysql_real_query(conn, set.data(), set.size()) == 0)
            continue;
        if (client_error(mysql_errno(conn)))
            return; // the connection failed: the write reports it
        g_refused[i] = true;
        refused += (refused.empty() ? "" : ", ") + std::string(SESSION_LIMITS[i]) + " (" +
                   logSafe(mysql_error(conn)) + ")";
    }
    if (refused.empty() || g_refusal_told)
        return;
    g_refusal_told = true;
    std::fprintf(stderr, "[database] session limits the server refused: %s; %s\n", refused.c_str(),
                 limits_statement().empty() ? "none holds" : "the others hold");
}

// Sends the statement; a write on a connection without its limits yet sends
// them first, in the same query. False with the error on the connection.
bool send(Db& db, const std::string& stmt, bool writes)
{
    MYSQL* conn = db.handle();
    if (writes && !db.limited) {
        db.limited = true;
        std::string query = limits_statement();
        if (!query.empty()) {
            query.append(";").append(stmt);
            if (mysql_real_query(conn, query.data(), query.size()) == 0)
                return mysql_next_result(conn) == 0; // the write's own answer
            if (client_error(mysql_errno(conn)))
                return false;
            // The server refused the SET, so the write did not run either.
            limits_one_by_one(conn);
        }
    }
    return mysql_real_query(conn, stmt.data(), stmt.size()) == 0;
}

} // namespace

bool statement::run(Db& db, const char* op, const char* tmpl, std::initializer_list<Arg> args)
{
    const std::string_view t = tmpl;
    const bool writes =
        t.rfind("UPDATE ", 0) == 0 || t.rfind("INSERT ", 0) == 0 || t.rfind("DELETE ", 0) == 0;
    MYSQL* conn = db.handle();
    std::string stmt;
    auto arg = args.begin();
    for (const char* p = tmpl; *p; ++p) {
        if (p[0] == '%' && p[1] == 's' && arg != args.end()) {
            stmt += arg->raw ? std::string(arg->text) : escape(conn, arg->text);
            ++arg;
            ++p;
        } else {
            stmt += *p;
        }
    }
    db.prikaz = stmt;
    const char* why = nullptr;
    if (stmt.size() >= PRIKAZ_SIZE)
        why = "statement too long";
    else if (!send(db, stmt, writes))
        why = mysql_error(conn);
    if (why)
        std::fprintf(stderr, "[%s] Failed to select '%s' from MYSQL database 'dvb': %s\n", op,
                     logSafe(cutText(stmt, PRIKAZ_SIZE - 1)).c_str(), logSafe(why).c_str());
    db.refused = why != nullptr;
    db.changed = !why && writes ? mysql_affected_rows(conn) : 0;
    // A statement too long was never sent: the database has no part in it.
    if (stmt.size() < PRIKAZ_SIZE)
        (why ? g_failed : g_answered) = true;
    return why == nullptr;
}

statement::Result statement::next_result(MYSQL* conn, bool first)
{
    if (!first && (!mysql_more_results(conn) || mysql_next_result(conn) != 0))
        return nullptr;
    return Result(mysql_store_result(conn));
}

bool statement::next_value(MYSQL_RES* result, std::string_view& value)
{
    while (MYSQL_ROW row = mysql_fetch_row(result)) {
        if (row[0] == nullptr)
            continue;
        value = std::string_view(row[0], mysql_fetch_lengths(result)[0]);
        return true;
    }
    return false;
}

namespace {

Settings::Database g_db_settings;

// A fresh handle, connected; false with the library's error text (the
// handle then closed). The account and the server are the built-in ones
// unless the configured option-file group names others: the defaults are set
// as options first, and the group, read when the connection is made,
// overrides them.
MYSQL* open_connection(std::string& error)
{
    MYSQL* conn = mysql_init(nullptr);
    if (conn == nullptr) {
        error = "out of memory";
        return nullptr;
    }
    // Names arrive as UTF-8; escaping and comparisons must see them as such.
    mysql_options(conn, MYSQL_SET_CHARSET_NAME, "utf8mb4");
    mysql_options(conn, MYSQL_OPT_CONNECT_TIMEOUT, &DB_TIMEOUT_S);
    mysql_options(conn, MYSQL_OPT_READ_TIMEOUT, &DB_TIMEOUT_S);
    mysql_options(conn, MYSQL_OPT_WRITE_TIMEOUT, &DB_TIMEOUT_S);
    const char* host = "localhost";
    const char* user = "root";
    const char* password = "lampaNaSTOLe42";
    if (!g_db_settings.group.empty()) {
        mysql_options(conn, MARIADB_OPT_HOST, host);
        mysql_options(conn, MARIADB_OPT_USER, user);
        mysql_options(conn, MARIADB_OPT_PASSWORD, password);
        if (!g_db_settings.option_file.empty())
            mysql_options(conn, MYSQL_READ_DEFAULT_FILE, g_db_settings.option_file.c_str());
        mysql_options(conn, MYSQL_READ_DEFAULT_GROUP, g_db_settings.group.c_str());
        host = user = password = nullptr;
    }
    if (mysql_real_connect(conn, host, user, password, "dvb", 0, nullptr,
                           CLIENT_MULTI_STATEMENTS) == nullptr) {
        error = mysql_error(conn);
        mysql_close(conn);
        return nullptr;
    }
    return conn;
}

} // namespace

void db_configure(const Settings::Database& settings)
{
    g_db_settings = settings;
}

MYSQL* Db::handle()
{
    std::string error;
    if (!m_ && !open(error)) {
        std::fprintf(stderr, "[db_connect] Failed to connect to MYSQL database: Error: %s\n",
                     logSafe(error).c_str());
        throw ProcessEnd{-1};
    }
    return m_;
}

bool Db::open(std::string& error)
{
    if (!m_) {
        m_ = open_connection(error);
        limited = false;
        (m_ ? g_answered : g_failed) = true;
    }
    return m_ != nullptr;
}

DbLook db_look()
{
    const DbLook look = g_failed ? DbLook::failed : g_answered ? DbLook::answered : DbLook::untried;
    g_failed = g_answered = false;
    return look;
}

void Db::close()
{
    if (m_)
        mysql_close(m_);
    m_ = nullptr;
}

namespace {

std::string g_place;
// Whether the database has a place column, and a table of signs of life:
// each looked at once, on the first open connection that asks.
enum class Known { Unknown, Yes, No };
Known g_places = Known::Unknown, g_televisions = Known::Unknown;

// Whether `probe` runs: Yes, or No when the server says the column or table
// is not there (with one line, once); a statement that failed otherwise (a
// server gone for a moment) decides nothing.
Known probe(Db& db, const char* probe, const char* missing, const char* so)
{
    MYSQL* conn = db.handle();
    if (mysql_real_query(conn, probe, std::strlen(probe)) == 0) {
        Result(mysql_store_result(conn));
        return Known::Yes;
    }
    const unsigned code = mysql_errno(conn);
    if (code != ER_BAD_FIELD_ERROR && code != ER_NO_SUCH_TABLE)
        return Known::Unknown;
    std::fprintf(stderr,
                 "[database] not brought up to date for several televisions (%s; run "
                 "velmora-setup-db): %s\n",
                 missing, so);
    return Known::No;
}

} // namespace

void db_configure_place(std::string_view television)
{
    g_place = television;
}

const std::string& db_place()
{
    return g_place;
}

bool db_has_places(Db& db)
{
    if (g_places == Known::Unknown && db.is_open())
        g_places = probe(db, "SELECT place FROM userHasState LIMIT 0", "no userHasState.place",
                         "this television's shutdown sets every user offline");
    return g_places == Known::Yes;
}

bool db_has_televisions(Db& db)
{
    if (g_televisions == Known::Unknown && db.is_open() && db_has_places(db))
        g_televisions =
            probe(db, "SELECT name, seen FROM televisions LIMIT 0", "no table televisions",
                  "a television that goes away keeps its users online");
    return g_televisions == Known::Yes;
}

std::string here_clause(Db& db)
{
    db.handle();
    if (g_place.empty() || !db_has_places(db))
        return "";
    return " AND (userHasState.place IS NULL OR userHasState.place='" +
           escape(db.handle(), g_place) + "')";
}
