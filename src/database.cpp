#include "database.hpp"

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <memory>

#include <mysqld_error.h>

#include "log.hpp"
#include "statement.hpp"
#include "secfunc.hpp"
#include "settings.hpp"

#include <errmsg.h>

#include "process_end.hpp"

using namespace statement;

namespace {

constexpr std::size_t CHANNEL_MAX = 19;
constexpr std::size_t STATE_MAX = 29;
constexpr std::size_t PICTURE_MAX = 29;
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
    const bool writes = t.rfind("UPDATE ", 0) == 0 || t.rfind("INSERT ", 0) == 0 ||
                        t.rfind("DELETE ", 0) == 0;
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

// The value of the last row of the statement's result, cut to `cap`.
// With `trace` every value is logged as the last channel.
std::string read_value(Db& db, std::size_t cap, bool trace = false)
{
    std::string value;
    if (Result result = next_result(db.handle(), true)) {
        std::string_view v;
        while (next_value(result.get(), v)) {
            if (trace)
                std::fprintf(stderr, "DB [LAST] %s\n", logSafe(v).c_str());
            value = cutText(v, cap);
        }
    }
    return value;
}

// Every row of every result set of the statement as one comma list.
std::string read_list(Db& db)
{
    std::string list;
    bool first = true;
    for (Result result = next_result(db.handle(), true); result;
         result = next_result(db.handle(), false)) {
        std::string_view v;
        while (next_value(result.get(), v)) {
            if (!appendItem(list, v, first))
                break;
            first = false;
        }
    }
    return list;
}

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
    }
    return m_ != nullptr;
}

void Db::close()
{
    if (m_)
        mysql_close(m_);
    m_ = nullptr;
}

std::string db_get_last(Db& db, std::string_view name)
{
    if (!run(db, "db_get_last",
             "SELECT channels.name FROM channels JOIN userHasLast ON channels.id=userHasLast.idc "
             "JOIN users ON userHasLast.idu=users.id AND users.name='%s';",
             {{name}}))
        return "";
    return read_value(db, CHANNEL_MAX, true);
}

std::string db_get_user_state(Db& db, std::string_view name)
{
    if (!run(db, "db_get_user_state",
             "SELECT states.state FROM states JOIN userHasState WHERE userHasState.ids=states.id "
             "AND userHasState.idu IN (SELECT id FROM users WHERE name='%s');",
             {{name}}))
        return "";
    return read_value(db, STATE_MAX);
}

std::string db_get_user_picture(Db& db, std::string_view name)
{
    if (!run(db, "db_get_user_picture",
             "SELECT pictures.path FROM pictures JOIN userHasPicture WHERE "
             "userHasPicture.idp=pictures.id AND userHasPicture.idu IN (SELECT id FROM users "
             "WHERE name='%s');",
             {{name}}))
        return "";
    return read_value(db, PICTURE_MAX);
}

int db_set_user_state(Db& db, std::string_view name, std::string_view state)
{
    return run(db, "db_set_user_state",
               "UPDATE userHasState SET ids=(SELECT id FROM states WHERE state='%s') WHERE "
               "idu=(SELECT id FROM users WHERE name='%s');",
               {{state}, {name}})
               ? 0
               : -1;
}

int db_update_user_last_channel(Db& db, std::string_view name, std::string_view channel)
{
    return run(db, "db_update_user_last_channel",
               "UPDATE userHasLast SET idc=(SELECT id FROM channels WHERE name='%s') WHERE idu "
               "IN (SELECT id FROM users WHERE name='%s');",
               {{channel}, {name}})
               ? 0
               : -1;
}

std::string db_get_all_users_by_state(Db& db, std::string_view state, Where where)
{
    const std::string room = where == Where::here ? here_clause(db) : "";
    if (!run(db, "db_get_all_users_by_state",
             "SELECT users.name FROM users JOIN userHasState WHERE userHasState.ids IN (SELECT id "
             "FROM states WHERE state='%s') AND userHasState.idu=users.id%s;",
             {{state}, {room, true}}))
        return "";
    return read_list(db);
}

std::string db_get_all_channels_by_user(Db& db, std::string_view name)
{
    if (!run(db, "db_get_all_channels_by_user",
             "SELECT channels.name FROM channels JOIN userHasChannel WHERE "
             "userHasChannel.idc=channels.id AND userHasChannel.idu IN (SELECT id FROM users "
             "WHERE name='%s') ORDER BY userHasChannel.id ASC;",
             {{name}}))
        return "";
    return read_list(db);
}

std::string db_get_all_channels_with_state(Db& db, std::string_view state, Where where)
{
    const std::string room = where == Where::here ? here_clause(db) : "";
    if (!run(db, "db_get_all_channels_with_state",
             "SELECT channels.name FROM channels JOIN userHasChannel ON "
             "userHasChannel.idc=channels.id JOIN userHasState ON "
             "userHasChannel.idu=userHasState.idu JOIN states ON userHasState.ids=states.id AND "
             "states.state='%s'%s GROUP BY channels.name;",
             {{state}, {room, true}}))
        return "";
    return read_list(db);
}

int db_set_all_state(Db& db, std::string_view state)
{
    return run(db, "db_set_all_state",
               "UPDATE userHasState SET ids=(SELECT id FROM states WHERE state='%s') WHERE 1;",
               {{state}})
               ? 0
               : -1;
}

int db_update_lasts(Db& db, std::string_view channel)
{
    std::string onlines = db_get_all_users_by_state(db, "online");
    // Each name becomes the content of a quoted literal of the IN list; the
    // statement's capacity, not the rendering's usual one, bounds the list so
    // that no online user is left out.
    std::string escaped;
    for (int p = 0, n = countList(onlines); p < n; ++p)
        escaped += (p ? "," : "") + escape(db.handle(), getAtPos(onlines, p));
    std::string in_list = fmtList2(escaped, PRIKAZ_SIZE);
    return run(db, "db_set_all_state",
               "UPDATE userHasLast SET idc=(SELECT id FROM channels WHERE name='%s') WHERE idu "
               "IN (SELECT users.id FROM users JOIN userHasChannel ON "
               "users.id=userHasChannel.idu AND users.name IN(%s) JOIN channels ON "
               "channels.id=userHasChannel.idc AND channels.name='%s');",
               {{channel}, {in_list, true}, {channel}})
               ? 0
               : -1;
}

