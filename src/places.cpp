// The statements of several televisions on one household database: each
// user's place (the television that last saw them), the room a television
// shows, the televisions' signs of life and the release of those gone
// silent.
#include "database.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <mysqld_error.h>

#include "log.hpp"
#include "statement.hpp"

using namespace statement;

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

// The first value of the statement's only row, or "" when none.
std::string only_value(Db& db)
{
    std::string value;
    if (Result result = next_result(db.handle())) {
        std::string_view v;
        if (next_value(result.get(), v))
            value = v;
    }
    return value;
}

} // namespace

void db_configure_place(std::string_view television)
{
    g_place = television;
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
        g_televisions = probe(db, "SELECT name, seen FROM televisions LIMIT 0",
                              "no table televisions",
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

int db_join_here(Db& db, std::string_view name)
{
    db.handle();
    if (!db_has_places(db))
        return db_set_user_state(db, name, "online");
    return run(db, "db_set_user_state",
               "UPDATE userHasState SET ids=(SELECT id FROM states WHERE state='%s'), place='%s' "
               "WHERE idu=(SELECT id FROM users WHERE name='%s');",
               {{"online"}, {g_place}, {name}})
               ? 0
               : -1;
}

bool db_set_user_place(Db& db, std::string_view name)
{
    return db_has_places(db) &&
           run(db, "db_set_user_place",
               "UPDATE userHasState SET place='%s' WHERE idu=(SELECT id FROM users WHERE "
               "name='%s');",
               {{g_place}, {name}}) &&
           mysql_affected_rows(db.handle()) > 0;
}

int db_set_offline_here(Db& db)
{
    db.handle();
    if (!db_has_places(db))
        return db_set_all_state(db, "offline");
    return run(db, "db_set_all_state",
               "UPDATE userHasState SET ids=(SELECT id FROM states WHERE state='%s') WHERE place "
               "IS NULL OR place='%s';",
               {{"offline"}, {g_place}})
               ? 0
               : -1;
}

bool db_get_household(Db& db, std::vector<HouseholdUser>& users)
{
    users.clear();
    const bool places = db_has_places(db);
    if (!run(
            db, "db_get_household",
            "SELECT users.name, states.state, pictures.path%s FROM users LEFT JOIN userHasState ON "
            "userHasState.idu=users.id LEFT JOIN states ON states.id=userHasState.ids LEFT JOIN "
            "userHasPicture ON userHasPicture.idu=users.id LEFT JOIN pictures ON "
            "pictures.id=userHasPicture.idp ORDER BY users.id;",
            {{places ? ", userHasState.place" : "", true}}))
        return false;
    if (Result result = next_result(db.handle(), true)) {
        auto text = [&](MYSQL_ROW row, int i) {
            return row[i] ? std::string(row[i], mysql_fetch_lengths(result.get())[i])
                          : std::string();
        };
        while (MYSQL_ROW row = mysql_fetch_row(result.get()))
            if (row[0])
                users.push_back({text(row, 0), text(row, 1), text(row, 2),
                                 places ? text(row, 3) : ""});
    }
    return true;
}

bool db_get_all_channels(Db& db, std::vector<std::string>& channels)
{
    channels.clear();
    if (!run(db, "db_get_all_channels", "SELECT name FROM channels ORDER BY id;", {}))
        return false;
    if (Result result = next_result(db.handle(), true)) {
        std::string_view v;
        while (next_value(result.get(), v))
            channels.emplace_back(v);
    }
    return true;
}

int db_sign_of_life(Db& db, std::string_view mqtt_prefix, std::string_view discovery)
{
    if (!run(db, "db_sign_of_life",
             "INSERT INTO televisions (name, seen, mqtt_prefix, discovery) VALUES ('%s', NOW(3), "
             "'%s', '%s') ON DUPLICATE KEY UPDATE seen=NOW(3), mqtt_prefix='%s', discovery='%s';",
             {{g_place}, {mqtt_prefix}, {discovery}, {mqtt_prefix}, {discovery}}))
        return -1;
    return mysql_affected_rows(db.handle()) == 1 ? 1 : 0;
}

long db_silent_for(Db& db, std::string_view television)
{
    if (!run(db, "db_silent_for",
             "SELECT TIMESTAMPDIFF(SECOND, seen, NOW(3)) FROM televisions WHERE name='%s';",
             {{television}}))
        return -1;
    const std::string s = only_value(db);
    return s.empty() ? -1 : std::atol(s.c_str());
}

std::vector<Released> db_release_silent(Db& db, long seconds, std::string_view only)
{
    const std::string after = std::to_string(seconds);
    const std::string which =
        std::string(only.empty() ? " AND televisions.name<>'" : " AND televisions.name='") +
        escape(db.handle(), only.empty() ? std::string_view(g_place) : only) + "'";
    if (!run(db, "db_release_silent",
             "SELECT userHasState.place, TIMESTAMPDIFF(SECOND, televisions.seen, NOW(3)), "
             "users.name FROM userHasState JOIN users ON users.id=userHasState.idu JOIN states ON "
             "states.id=userHasState.ids AND states.state='online' JOIN televisions ON "
             "televisions.name=userHasState.place WHERE televisions.seen < NOW(3) - INTERVAL %s "
             "SECOND%s ORDER BY userHasState.place, users.id;",
             {{after, true}, {which, true}}))
        return {};
    std::vector<Released> found;
    if (Result result = next_result(db.handle())) {
        while (MYSQL_ROW row = mysql_fetch_row(result.get())) {
            if (!row[0] || !row[2])
                continue;
            if (found.empty() || found.back().television != row[0])
                found.push_back({row[0], row[1] ? std::atol(row[1]) : 0, {}});
            found.back().users.emplace_back(row[2]);
        }
    }
    // One by one, each only while its television is still silent and the
    // user still online there: a user another television released first, or
    // who moved meanwhile, is not this one's to tell.
    std::vector<Released> released;
    for (const Released& t : found) {
        Released r{t.television, t.silent_s, {}};
        for (const std::string& user : t.users)
            if (run(db, "db_release_silent",
                    "UPDATE userHasState SET ids=(SELECT id FROM states WHERE state='offline') "
                    "WHERE idu=(SELECT id FROM users WHERE name='%s') AND place='%s' AND "
                    "ids=(SELECT id FROM states WHERE state='online') AND (SELECT seen FROM "
                    "televisions WHERE name='%s') < NOW(3) - INTERVAL %s SECOND;",
                    {{user}, {t.television}, {t.television}, {after, true}}) &&
                mysql_affected_rows(db.handle()) > 0)
                r.users.push_back(user);
        if (!r.users.empty())
            released.push_back(std::move(r));
    }
    return released;
}

Retired db_retire(Db& db, std::string_view television)
{
    Retired r;
    if (!run(db, "db_retire",
             "SELECT IFNULL(mqtt_prefix, ''), IFNULL(discovery, '') FROM televisions WHERE "
             "name='%s';",
             {{television}}))
        return r;
    if (Result result = next_result(db.handle()))
        if (MYSQL_ROW row = mysql_fetch_row(result.get())) {
            r.seen = true;
            r.mqtt_prefix = row[0] ? row[0] : "";
            r.discovery = row[1] ? row[1] : "";
        }
    if (!run(db, "db_retire",
             "SELECT users.name, states.state FROM userHasState JOIN users ON "
             "users.id=userHasState.idu JOIN states ON states.id=userHasState.ids WHERE "
             "userHasState.place='%s' ORDER BY users.id;",
             {{television}}))
        return r;
    if (Result result = next_result(db.handle()))
        while (MYSQL_ROW row = mysql_fetch_row(result.get())) {
            r.seen = true;
            if (row[0] && row[1] && std::string_view(row[1]) == "online")
                r.users.emplace_back(row[0]);
        }
    if (!r.seen)
        return r;
    r.done = run(db, "db_retire",
                 "UPDATE userHasState SET ids=(SELECT id FROM states WHERE state='offline') WHERE "
                 "place='%s' AND ids=(SELECT id FROM states WHERE state='online');",
                 {{television}}) &&
             run(db, "db_retire", "DELETE FROM televisions WHERE name='%s';", {{television}});
    return r;
}
