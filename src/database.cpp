#include "database.hpp"

#include <cstdio>

#include "log.hpp"
#include "secfunc.hpp"

using namespace statement;

namespace {

constexpr std::size_t CHANNEL_MAX = 19;
constexpr std::size_t STATE_MAX = 29;
constexpr std::size_t PICTURE_MAX = 29;
} // namespace

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

} // namespace

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
