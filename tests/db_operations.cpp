// The presence database operations, run in-process against the private server
// of the test run (MYSQL_UNIX_PORT) with the sample household.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "database.hpp"
#include "harness.hpp"
#include "log.hpp"
#include "process_end.hpp"
#include "secfunc.hpp"

using namespace vt;

namespace {

// The statements exactly as the operations must send them.
const std::string kLast =
    "SELECT channels.name FROM channels JOIN userHasLast ON channels.id=userHasLast.idc JOIN users "
    "ON userHasLast.idu=users.id AND users.name='%s';";
const std::string kState =
    "SELECT states.state FROM states JOIN userHasState WHERE userHasState.ids=states.id AND "
    "userHasState.idu IN (SELECT id FROM users WHERE name='%s');";
const std::string kPicture =
    "SELECT pictures.path FROM pictures JOIN userHasPicture WHERE userHasPicture.idp=pictures.id "
    "AND userHasPicture.idu IN (SELECT id FROM users WHERE name='%s');";
const std::string kSetState = "UPDATE userHasState SET ids=(SELECT id FROM states WHERE "
                              "state='%s') WHERE idu=(SELECT id FROM users WHERE name='%s');";
const std::string kSetLast = "UPDATE userHasLast SET idc=(SELECT id FROM channels WHERE name='%s') "
                             "WHERE idu IN (SELECT id FROM users WHERE name='%s');";
const std::string kUsersBy =
    "SELECT users.name FROM users JOIN userHasState WHERE userHasState.ids IN (SELECT id FROM "
    "states WHERE state='%s') AND userHasState.idu=users.id;";
const std::string kChansBy = "SELECT channels.name FROM channels JOIN userHasChannel WHERE "
                             "userHasChannel.idc=channels.id AND userHasChannel.idu IN (SELECT id "
                             "FROM users WHERE name='%s') ORDER BY userHasChannel.id ASC;";
const std::string kChansWith =
    "SELECT channels.name FROM channels JOIN userHasChannel ON userHasChannel.idc=channels.id JOIN "
    "userHasState ON userHasChannel.idu=userHasState.idu JOIN states ON userHasState.ids=states.id "
    "AND states.state='%s' GROUP BY channels.name;";
const std::string kSetAll =
    "UPDATE userHasState SET ids=(SELECT id FROM states WHERE state='%s') WHERE 1;";
const std::string kLasts =
    "UPDATE userHasLast SET idc=(SELECT id FROM channels WHERE name='%s') WHERE idu IN (SELECT "
    "users.id FROM users JOIN userHasChannel ON users.id=userHasChannel.idu AND users.name IN(%s) "
    "JOIN channels ON channels.id=userHasChannel.idc AND channels.name='%s');";

// The template with each %s replaced in turn.
std::string fill(const std::string& tmpl, std::vector<std::string> values)
{
    std::string out;
    size_t next = 0;
    for (size_t i = 0; i < tmpl.size(); ++i) {
        if (tmpl.compare(i, 2, "%s") == 0 && next < values.size())
            out += values[next++], ++i;
        else
            out += tmpl[i];
    }
    return out;
}

// A value as the content of a string literal, escaped like the client library does.
std::string esc(const std::string& v)
{
    std::string q = sql_quote(v);
    return q.substr(1, q.size() - 2);
}

// The log shows the statement with its control characters as \xNN.
std::string failure(const std::string& op, const std::string& stmt)
{
    return "[" + op + "] Failed to select '" + logSafe(stmt) + "' from MYSQL database 'dvb': ";
}

// The failure line of a unit with its own connection, whose error text is gone with it.
void expect_refused(const std::string& log, const std::string& op, const std::string& stmt)
{
    EXPECT_EQ(log.rfind(failure(op, stmt), 0), 0u) << log;
    EXPECT_GT(log.size(), failure(op, stmt).size() + 1) << log;
    EXPECT_EQ(log.back(), '\n');
}

std::string sorted(const std::string& list)
{
    std::vector<std::string> items;
    std::stringstream in(list);
    for (std::string item; std::getline(in, item, ',');)
        items.push_back(item);
    std::sort(items.begin(), items.end());
    std::string out;
    for (auto& item : items)
        out += (out.empty() ? "" : ",") + item;
    return out;
}

// Every row of every table: equal snapshots mean nothing changed.
std::string snapshot()
{
    std::string s;
    for (const char* t : {"users", "states", "channels", "pictures", "userHasState", "userHasLast",
                          "userHasChannel", "userHasPicture"}) {
        s += std::string(t) + ":";
        for (auto& r : db_rows(std::string("SELECT * FROM ") + t + " ORDER BY 1, 2"))
            for (auto& f : r)
                s += f + "|";
        s += "\n";
    }
    return s;
}

std::string stderr_of(const std::function<void()>& f)
{
    testing::internal::CaptureStderr();
    f();
    return testing::internal::GetCapturedStderr();
}

// A household member added by hand, offline, without last channel.
void add_user(int id, const std::string& name, const std::vector<int>& channels = {})
{
    db_exec("INSERT INTO users (id, name) VALUES (" + std::to_string(id) + ", " + sql_quote(name) +
            ")");
    db_exec("INSERT INTO userHasState VALUES (" + std::to_string(id) + ", 2)");
    db_exec("INSERT INTO userHasLast VALUES (" + std::to_string(id) + ", NULL)");
    for (int c : channels)
        db_exec("INSERT INTO userHasChannel (idu, idc) VALUES (" + std::to_string(id) + ", " +
                std::to_string(c) + ")");
}

class DatabaseTest : public testing::Test {
protected:
    void SetUp() override { reset_database(); }
    void connect() { db.handle(); }
    void close() { db.close(); }
    Db db;
};

} // namespace

using DatabaseReaders = DatabaseTest;
using DatabaseUpdaters = DatabaseTest;
using DatabaseFailures = DatabaseTest;
using DatabaseEscaping = DatabaseTest;

TEST_F(DatabaseReaders, SampleHousehold)
{
    using Reader = std::string (*)(Db&, std::string_view);
    struct Case {
        Reader op;
        std::string arg, want, log;
    };
    const Case cases[] = {
        {db_get_last, "anna", "ct2", "DB [LAST] ct2\n"},
        {db_get_last, "peter", "ct3", "DB [LAST] ct3\n"},
        {db_get_last, "eva", "nova", "DB [LAST] nova\n"},
        {db_get_last, "tom", "", ""},
        {db_get_last, "nobody", "", ""},
        {db_get_user_state, "anna", "offline", ""},
        {db_get_user_state, "nobody", "", ""},
        {db_get_user_picture, "eva", "eva.jpg", ""},
        {db_get_user_picture, "tom", "", ""},
        {db_get_user_picture, "nobody", "", ""},
        {db_get_all_channels_by_user, "anna", "ct1,ct2", ""},
        {db_get_all_channels_by_user, "tom", "prima", ""},
        {db_get_all_channels_by_user, "nobody", "", ""},
        {db_get_all_users_by_state, "online", "", ""},
        {db_get_all_users_by_state, "away", "", ""},
        {db_get_all_channels_with_state, "offline", "ct1,ct2,ct3,nova,prima", ""},
        {db_get_all_channels_with_state, "online", "", ""},
        {db_get_all_channels_with_state, "away", "", ""},
    };
    connect();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arg + " -> " + c.want);
        std::string got;
        EXPECT_EQ(stderr_of([&] { got = c.op(db, c.arg); }), c.log);
        EXPECT_EQ(got, c.want);
    }
    EXPECT_EQ(sorted(db_get_all_users_by_state(db, "offline")), "anna,eva,peter,tom");
}

TEST_F(DatabaseReaders, ListsFollowTheRows)
{
    db_exec("UPDATE userHasChannel SET id = 9 WHERE id = 1");              // anna got ct1 after ct2
    db_exec("INSERT INTO userHasChannel (id, idu, idc) VALUES (8, 4, 1)"); // tom: prima, then ct1
    set_online({"anna", "peter"});
    connect();
    EXPECT_EQ(db_get_all_channels_by_user(db, "anna"), "ct2,ct1");
    EXPECT_EQ(db_get_all_channels_by_user(db, "tom"), "prima,ct1");
    EXPECT_EQ(db_get_all_channels_by_user(db, "eva"), "nova,ct1");
    EXPECT_EQ(db_get_all_channels_with_state(db, "online"), "ct1,ct2,ct3"); // ct2 of both, once
    EXPECT_EQ(db_get_all_channels_with_state(db, "offline"), "ct1,nova,prima");
    EXPECT_EQ(sorted(db_get_all_users_by_state(db, "online")), "anna,peter");
    EXPECT_EQ(sorted(db_get_all_users_by_state(db, "offline")), "eva,tom");
    EXPECT_EQ(db_get_user_state(db, "peter"), "online");
}

TEST_F(DatabaseReaders, ResultsAreReleasedAndAUnitOpensWhenFirstNeeded)
{
    EXPECT_FALSE(db.is_open());
    EXPECT_EQ(db_get_user_picture(db, "anna"), "anna.jpg"); // opened by its first statement
    EXPECT_TRUE(db.is_open());
    EXPECT_EQ(db_get_last(db, "peter"), "ct3");
    EXPECT_EQ(db_get_user_state(db, "eva"), "offline");
    EXPECT_EQ(db_set_user_state(db, "eva", "online"), 0);
    EXPECT_EQ(sorted(db_get_all_users_by_state(db, "offline")), "anna,peter,tom");
    EXPECT_EQ(db_get_user_picture(db, "peter"), "peter.jpg");
    close();
    EXPECT_FALSE(db.is_open());
    EXPECT_EQ(db_get_all_channels_by_user(db, "eva"), "nova,ct1"); // a fresh unit
    EXPECT_EQ(db_get_user_picture(db, "tom"), "");
}

TEST_F(DatabaseUpdaters, EffectsAndStatements)
{
    const std::string before = snapshot();
    connect();
    EXPECT_EQ(db_set_user_state(db, "nobody", "online"), 0);
    EXPECT_EQ(db_update_user_last_channel(db, "nobody", "ct1"), 0);
    EXPECT_EQ(snapshot(), before);

    // One unit after the other; each leaves its statement in prikaz.
    struct Case {
        std::function<std::string()> run;
        std::string want, stmt;
        bool own;
    };
    const Case cases[] = {
        {[&] { return std::to_string(db_set_user_state(db, "anna", "online")); }, "0",
         fill(kSetState, {"online", "anna"}), false},
        {[&] { return std::to_string(db_update_user_last_channel(db, "tom", "joj")); }, "0",
         fill(kSetLast, {"joj", "tom"}), false},
        {[&] { return db_get_last(db, "tom"); }, "joj", fill(kLast, {"tom"}), false},
        {[&] { return db_get_user_state(db, "anna"); }, "online", fill(kState, {"anna"}), false},
        {[&] { return db_get_user_picture(db, "peter"); }, "peter.jpg", fill(kPicture, {"peter"}),
         false},
        {[&] { return db_get_all_users_by_state(db, "online"); }, "anna", fill(kUsersBy, {"online"}),
         false},
        {[&] { return db_get_all_channels_by_user(db, "peter"); }, "ct2,ct3", fill(kChansBy, {"peter"}),
         false},
        {[&] { return db_get_all_channels_with_state(db, "online"); }, "ct1,ct2",
         fill(kChansWith, {"online"}), false},
        {[&] { return std::to_string(db_update_lasts(db, "ct1")); }, "0",
         fill(kLasts, {"ct1", "'anna'", "ct1"}), true},
        {[&] { return std::to_string(db_set_all_state(db, "online")); }, "0", fill(kSetAll, {"online"}),
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stmt);
        if (c.own)
            close();
        EXPECT_EQ(c.run(), c.want);
        EXPECT_EQ(db.prikaz, c.stmt);
    }
    EXPECT_EQ(user_last("anna"), "ct1");
    EXPECT_EQ(user_last("tom"), "joj"); // a channel not among his own is taken as it is
    for (const char* name : {"anna", "peter", "eva", "tom"})
        EXPECT_EQ(user_state(name), "online") << name;
    EXPECT_EQ(db_set_all_state(db, "offline"), 0);
    for (const char* name : {"anna", "peter", "eva", "tom"})
        EXPECT_EQ(user_state(name), "offline") << name;
}

TEST_F(DatabaseUpdaters, LastsOnlyForOnlineHoldersOfTheChannel)
{
    const std::string initial = snapshot();
    int status = 0;
    std::string log = stderr_of([&] { status = db_update_lasts(db, "ct1"); }); // nobody online: IN()
    EXPECT_EQ(status, -1);
    EXPECT_EQ(db.prikaz, fill(kLasts, {"ct1", "", "ct1"}));
    expect_refused(log, "db_set_all_state", fill(kLasts, {"ct1", "", "ct1"}));
    EXPECT_EQ(snapshot(), initial);

    set_online({"anna", "peter", "tom"});
    EXPECT_EQ(db_update_lasts(db, "ct1"), 0);
    EXPECT_EQ(user_last("anna"), "ct1");  // online, has ct1
    EXPECT_EQ(user_last("peter"), "ct3"); // online, without ct1
    EXPECT_EQ(user_last("tom"), "NULL");  // online, without ct1
    EXPECT_EQ(user_last("eva"), "nova");  // has ct1, offline
    const std::string before = snapshot();
    EXPECT_EQ(db_update_lasts(db, "nochannel"), 0);
    EXPECT_EQ(snapshot(), before);
}

TEST_F(DatabaseFailures, EachOperationLogsItsRefusal)
{
    set_online({"anna"});
    struct Case {
        std::string table, op;
        std::function<std::string()> run;
        std::string want, stmt;
        bool own;
    };
    const Case cases[] = {
        {"channels", "db_get_last", [&] { return db_get_last(db, "anna"); }, "", fill(kLast, {"anna"}),
         false},
        {"states", "db_get_user_state", [&] { return db_get_user_state(db, "anna"); }, "",
         fill(kState, {"anna"}), false},
        {"pictures", "db_get_user_picture", [&] { return db_get_user_picture(db, "anna"); }, "",
         fill(kPicture, {"anna"}), false},
        {"states", "db_set_user_state",
         [&] { return std::to_string(db_set_user_state(db, "eva", "online")); }, "-1",
         fill(kSetState, {"online", "eva"}), false},
        {"channels", "db_update_user_last_channel",
         [&] { return std::to_string(db_update_user_last_channel(db, "eva", "ct1")); }, "-1",
         fill(kSetLast, {"ct1", "eva"}), false},
        {"states", "db_get_all_users_by_state", [&] { return db_get_all_users_by_state(db, "online"); },
         "", fill(kUsersBy, {"online"}), false},
        {"channels", "db_get_all_channels_by_user",
         [&] { return db_get_all_channels_by_user(db, "anna"); }, "", fill(kChansBy, {"anna"}), false},
        {"states", "db_get_all_channels_with_state",
         [&] { return db_get_all_channels_with_state(db, "online"); }, "", fill(kChansWith, {"online"}),
         false},
        {"states", "db_set_all_state", [&] { return std::to_string(db_set_all_state(db, "offline")); },
         "-1", fill(kSetAll, {"offline"}), true},
        {"channels", "db_set_all_state", [&] { return std::to_string(db_update_lasts(db, "ct1")); },
         "-1", fill(kLasts, {"ct1", "'anna'", "ct1"}), true},
    };
    const std::string before = snapshot();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.op + " without " + c.table);
        if (!c.own)
            connect();
        db_exec("RENAME TABLE " + c.table + " TO gone");
        std::string got, error;
        std::string log = stderr_of([&] {
            got = c.run();
            if (!c.own)
                error = mysql_error(db.handle());
        });
        db_exec("RENAME TABLE gone TO " + c.table);
        EXPECT_EQ(got, c.want);
        EXPECT_EQ(db.prikaz, c.stmt);
        if (c.own) {
            expect_refused(log, c.op, c.stmt);
        } else {
            EXPECT_NE(error, "");
            EXPECT_EQ(log, failure(c.op, c.stmt) + error + "\n");
            EXPECT_EQ(db_get_last(db, "peter"), "ct3"); // the connection goes on
            close();
        }
    }
    EXPECT_EQ(snapshot(), before);
}

TEST_F(DatabaseFailures, NameOfTwoUsers)
{
    db_exec("ALTER TABLE users DROP INDEX users_name");
    add_user(5, "anna");
    db_exec("UPDATE userHasLast SET idc = 6 WHERE idu = 5");
    const std::string before = snapshot();
    connect();
    std::string error;
    std::string log = stderr_of([&] {
        EXPECT_EQ(db_set_user_state(db, "anna", "online"), -1);
        error = mysql_error(db.handle());
    });
    EXPECT_NE(error, "");
    EXPECT_EQ(log,
              failure("db_set_user_state", fill(kSetState, {"online", "anna"})) + error + "\n");
    EXPECT_EQ(snapshot(), before);
    std::string last;
    log = stderr_of([&] { last = db_get_last(db, "anna"); }); // one line per row, the last row wins
    EXPECT_TRUE(log == "DB [LAST] ct2\nDB [LAST] joj\n" || log == "DB [LAST] joj\nDB [LAST] ct2\n")
        << log;
    EXPECT_EQ("DB [LAST] " + last + "\n", log.substr(log.find('\n') + 1));
    EXPECT_EQ(db_update_user_last_channel(db, "anna", "ct3"), 0); // every bearer of the name
    EXPECT_EQ(db_rows("SELECT idc FROM userHasLast WHERE idu IN (1, 5) ORDER BY idu"),
              (std::vector<std::vector<std::string>>{{"3"}, {"3"}}));
}

TEST_F(DatabaseEscaping, ValuesStayInsideTheirLiterals)
{
    set_online({"anna"});
    const std::string before = snapshot();
    for (const std::string v :
         {"o'brien", "x\\", "a' OR '1'='1", "online' OR '1'='1",
          "'; UPDATE userHasState SET ids=1 WHERE 1; --", "say \"hi\"", "tab\tcr\rlf\nsub\x1a",
          "%s%d%n", "\xc5\xbeluva\xc5\xa5 \xe2\x82\xac", "\\' OR 1; --"}) {
        SCOPED_TRACE(v);
        const std::string e = esc(v);
        struct Case {
            std::function<std::string()> run;
            std::string want, stmt;
        };
        const Case cases[] = {
            {[&] { return db_get_last(db, v); }, "", fill(kLast, {e})},
            {[&] { return db_get_user_state(db, v); }, "", fill(kState, {e})},
            {[&] { return db_get_user_picture(db, v); }, "", fill(kPicture, {e})},
            {[&] { return db_get_all_users_by_state(db, v); }, "", fill(kUsersBy, {e})},
            {[&] { return db_get_all_channels_by_user(db, v); }, "", fill(kChansBy, {e})},
            {[&] { return db_get_all_channels_with_state(db, v); }, "", fill(kChansWith, {e})},
            {[&] { return std::to_string(db_set_user_state(db, v, "offline")); }, "0",
             fill(kSetState, {"offline", e})},
            {[&] { return std::to_string(db_set_user_state(db, "nobody", v)); }, "0",
             fill(kSetState, {e, "nobody"})},
            {[&] { return std::to_string(db_update_user_last_channel(db, v, "ct1")); }, "0",
             fill(kSetLast, {"ct1", e})},
            {[&] { return std::to_string(db_update_user_last_channel(db, "nobody", v)); }, "0",
             fill(kSetLast, {e, "nobody"})},
        };
        connect();
        for (const Case& c : cases) {
            std::string got;
            EXPECT_EQ(stderr_of([&] { got = c.run(); }), "") << c.stmt;
            EXPECT_EQ(got, c.want) << c.stmt;
            EXPECT_EQ(db.prikaz, c.stmt);
        }
        close();
        EXPECT_EQ(db_update_lasts(db, v), 0);
        EXPECT_EQ(db.prikaz, fill(kLasts, {e, "'anna'", e}));
        std::string log = stderr_of([&] { EXPECT_EQ(db_set_all_state(db, v), -1); }); // no such state
        expect_refused(log, "db_set_all_state", fill(kSetAll, {e}));
        EXPECT_EQ(snapshot(), before);
    }
}

TEST_F(DatabaseEscaping, QuotedNamesInTheOnlineList)
{
    add_user(5, "o'brien", {1});
    add_user(6, "back\\", {1});
    add_user(7, "x') OR 1=1 OR ('"); // without ct1
    set_online({"o'brien", "back\\", "x') OR 1=1 OR ('", "peter"});
    connect();
    std::string online = db_get_all_users_by_state(db, "online");
    close();
    ASSERT_EQ(sorted(online), sorted("o'brien,back\\,x') OR 1=1 OR (',peter"));
    std::string in_list;
    std::stringstream in(online);
    for (std::string name; std::getline(in, name, ',');)
        in_list += (in_list.empty() ? "'" : ",'") + esc(name) + "'";
    EXPECT_EQ(db_update_lasts(db, "ct1"), 0);
    EXPECT_EQ(db.prikaz, fill(kLasts, {"ct1", in_list, "ct1"}));
    EXPECT_EQ(user_last("o'brien"), "ct1");
    EXPECT_EQ(user_last("back\\"), "ct1");
    EXPECT_EQ(user_last("x') OR 1=1 OR ('"), "NULL");
    EXPECT_EQ(user_last("peter"), "ct3");
    EXPECT_EQ(user_last("anna"), "ct2"); // offline holders of ct1 keep theirs
    EXPECT_EQ(user_last("eva"), "nova");
}

// The daemon holds names in 19 bytes and pictures in 29; the schema refuses
// longer ones, counted in bytes and not in characters.
TEST_F(DatabaseFailures, SchemaRefusesNamesLongerThanTheDaemonHolds)
{
    const std::string z = "\xc5\xbe"; // two bytes
    std::string z9, z10;
    for (int i = 0; i < 9; ++i)
        z9 += z;
    z10 = z9 + z;
    const struct {
        std::string table, column, value;
        bool fits;
    } cases[] = {
        {"users", "name", std::string(19, 'u'), true},
        {"users", "name", z9 + "u", true},
        {"users", "name", std::string(20, 'u'), false},
        {"users", "name", z10, false},
        {"channels", "name", z9 + "c", true},
        {"channels", "name", z10, false},
        {"pictures", "path", std::string(29, 'p'), true},
        {"pictures", "path", z9 + z9 + "pp", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.table + " " + c.value);
        const std::string insert =
            "INSERT INTO " + c.table + " (" + c.column + ") VALUES (" + sql_quote(c.value) + ")";
        if (c.fits)
            EXPECT_NO_THROW(db_exec(insert));
        else
            EXPECT_THROW(db_exec(insert), std::runtime_error);
    }
}

TEST(DatabaseConnectDeathTest, UnreachableServerEndsTheProcess)
{
    // A fresh child process: the client library reads the socket path once, at
    // its first use, so nothing here may touch the database before. The unit
    // of work reports the end; the serving loop ends the process with it.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::function<void(Db&)> units[] = {[](Db& db) { db.handle(); },
                                              [](Db& db) { db_set_all_state(db, "offline"); },
                                              [](Db& db) { db_update_lasts(db, "ct1"); }};
    for (const auto& unit : units) {
        EXPECT_EXIT(
            {
                setenv("MYSQL_UNIX_PORT", "/nonexistent/velmora/mysqld.sock", 1);
                try {
                    Db db;
                    unit(db);
                } catch (const ProcessEnd& end) {
                    std::exit(end.status & 0xff);
                }
            },
            testing::ExitedWithCode(255),
            "^\\[db_connect\\] Failed to connect to MYSQL database: Error: .+\n$");
    }
}
