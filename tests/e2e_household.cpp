// End to end through the real daemon: people arriving and leaving, listing,
// changing and stepping channels, and finger gestures. Checks what the daemon
// logs for each message, the database, the viewing state and which of the
// recording stand-ins ran.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "harness.hpp"

using namespace vt;
using Lines = std::vector<std::string>;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

Lines operator+(Lines a, const Lines& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Lines split_lines(const std::string& text)
{
    Lines lines;
    size_t pos = 0;
    for (size_t nl; (nl = text.find('\n', pos)) != std::string::npos; pos = nl + 1)
        lines.push_back(text.substr(pos, nl - pos));
    if (pos < text.size())
        lines.push_back(text.substr(pos));
    return lines;
}

std::string joined(const Lines& lines)
{
    std::string s;
    for (const auto& l : lines)
        s += "  " + l + "\n";
    return s;
}

// A wanted line ending in '*' only fixes its start (for the server's own error text).
bool matches(const Lines& got, const Lines& want)
{
    if (got.size() != want.size())
        return false;
    for (size_t i = 0; i < got.size(); ++i) {
        const std::string& w = want[i];
        bool prefix = !w.empty() && w.back() == '*';
        if (prefix ? got[i].compare(0, w.size() - 1, w, 0, w.size() - 1) != 0 : got[i] != w)
            return false;
    }
    return true;
}

std::string xml(const std::string& name, const std::string& command,
                const std::string& presence = "", const std::string& probability = "")
{
    return message(user_xml(name, command, presence, probability));
}

// The daemon's own statement, so that the list comes in the order the daemon sees.
std::string users_in(const std::string& state)
{
    std::string list;
    for (const auto& row : db_rows("SELECT users.name FROM users JOIN userHasState WHERE "
                                   "userHasState.ids IN (SELECT id FROM states "
                                   "WHERE state=" +
                                   sql_quote(state) + ") AND userHasState.idu=users.id;"))
        list += (list.empty() ? "" : ",") + row[0];
    return list;
}

// Exactly these users online, set behind the daemon's back.
void only_online(const Lines& names)
{
    db_exec("UPDATE userHasState SET ids=2");
    for (const auto& n : names)
        db_exec("UPDATE userHasState h JOIN users u ON u.id=h.idu SET h.ids=1 WHERE u.name=" +
                sql_quote(n));
}

// A caption as convert gets it: heading, numbered entries, backslash-n pairs and no line break.
std::string caption(const std::string& heading, const std::string& list)
{
    if (list.empty())
        return "";
    std::string out = heading + "\\n";
    int i = 0;
    for (size_t pos = 0;;) {
        size_t end = list.find(',', pos);
        out += std::to_string(++i) + ". " + list.substr(pos, end - pos) + "\\n";
        if (end == std::string::npos)
            return out;
        pos = end + 1;
    }
}

// One arrival as the daemon should handle it.
struct Join {
    std::string name, last; // last: the "DB [LAST]" value, for the first one online only
    std::string onlines, channels, picture, channel; // the channel it leaves current

    Lines logged() const
    {
        Lines l{"[cmd_join] " + name + " is now online."};
        if (!last.empty())
            l.push_back("DB [LAST] " + last);
        for (const auto& [what, value] : {std::pair{"user", name},
                                          {"onlines", onlines},
                                          {"channels", channels},
                                          {"picture", picture}})
            l.push_back("[player_set_background] " + std::string(what) + ": " + value);
        return l + Lines{"[cmd_join] player_set_channel(" + channel + ")"};
    }
    std::string base() const { return picture.empty() ? "black.jpg" : picture; }
    Lines shown() const
    { // by the background child, once rendered
        return {"[background] Name: '" + name + "'", "[background] Picture: '" + base() + "'",
                "[background] Onlines: '" + caption("PRESENT KNOWN USERS:", onlines) + "'",
                "[background] Channels: '" + caption("CHANNELS:", channels) + "'"};
    }
};

// A channel change: lasts recorded, notification shown, player child forked.
Lines plays(const std::string& ch)
{
    return {"db_update_lasts(" + ch + "): 0",
            "[player_notify] notify-send 'Changing channel' '" + ch + "' 0"};
}

// With nobody online the last-channel update gets an empty IN() and the server refuses it.
Lines plays_nothing()
{
    return {"[db_set_all_state] Failed to select 'UPDATE userHasLast SET idc=(SELECT id FROM "
            "channels WHERE "
            "name='') WHERE idu IN (SELECT users.id FROM users JOIN userHasChannel ON "
            "users.id=userHasChannel.idu AND users.name IN() JOIN channels ON "
            "channels.id=userHasChannel.idc "
            "AND channels.name='');' from MYSQL database 'dvb': *",
            "db_update_lasts(): -1", "[player_notify] notify-send 'Changing channel' '' 0"};
}

bool wait_for(const std::function<bool()>& done, std::chrono::milliseconds limit = 15000ms)
{
    for (auto until = Clock::now() + limit;; std::this_thread::sleep_for(10ms)) {
        if (done())
            return true;
        if (Clock::now() >= until)
            return false;
    }
}

// One television: a fresh household with `online` users, and the daemon running.
struct Tv {
    TestEnv env;
    Daemon d{env};
    size_t out_mark = 0; // stdout before the latest message
    size_t messages = 0; // each one logs one [RCV] line on stderr

    explicit Tv(const Lines& online = {})
    {
        reset_database();
        d.start(); // start-up sets everyone offline
        only_online(online);
    }

    void say(const std::string& msg)
    {
        out_mark = d.out().size();
        d.send_and_wait(msg);
        ++messages;
    }

    // Sends one message; everything on stderr for it must be its [RCV] line and then `want`.
    void say(const std::string& msg, const Lines& want)
    {
        say(msg);
        Lines full = Lines{"[RCV] " + msg} + want, got;
        // stderr may trail the stdout marker by a moment, also the previous message's.
        auto since_rcv = [&] {
            std::string err = d.err();
            size_t at = 0;
            for (size_t n = 0; n < messages; ++n)
                if ((at = err.find("[RCV] ", n ? at + 1 : 0)) == std::string::npos)
                    return Lines{};
            return split_lines(err.substr(at));
        };
        if (!wait_for([&] { return matches(got = since_rcv(), full); }, 2000ms))
            ADD_FAILURE() << "stderr for " << msg << "\nwanted:\n"
                          << joined(full) << "got:\n"
                          << joined(got);
    }

    // The value in the latest "[memory] current<field>: '...'" line.
    std::string memory(const std::string& field) const
    {
        std::string out = d.out(), key = "\n[memory] current" + field + ": '";
        size_t at = out.rfind(key), nl = out.find("'\n", at + 1);
        if (at == std::string::npos || nl == std::string::npos)
            return "<none>";
        return out.substr(at + key.size(), nl - at - key.size());
    }
    void expect_view(const std::string& channel, const std::string& user) const
    {
        EXPECT_EQ(memory("Channel"), channel);
        EXPECT_EQ(memory("User"), user);
    }

    // The welcome-background child's lines since the latest message, once it has finished.
    Lines rendered()
    {
        std::string slice;
        wait_for([&] {
            return (slice = d.out().substr(out_mark)).find("[background] Channels: ") != slice.npos;
        });
        Lines lines;
        for (const auto& l : split_lines(slice))
            if (l.rfind("[background] ", 0) == 0 && l != "[background] restored")
                lines.push_back(l);
        return lines;
    }

    // Position in the stand-in log of the first player of `ch` at or after `from`; -1 if none
    // comes.
    int player_of(const std::string& ch, int from = 0)
    {
        int found = -1;
        wait_for([&] {
            auto all = env.invocations();
            for (int i = from; i < static_cast<int>(all.size()) && found < 0; ++i)
                if (all[i].argv.front() == "mplayer" && all[i].argv.back() == "dvb://" + ch)
                    found = i;
            return found >= 0;
        });
        return found;
    }
    pid_t pid_at(int index) const { return env.invocations().at(index).pid; }

    int last_restore() const
    { // position of the latest "fbsetbg black.jpg"
        auto all = env.invocations();
        for (int i = static_cast<int>(all.size()) - 1; i >= 0; --i)
            if (all[i].argv == Lines{"fbsetbg", "black.jpg"})
                return i;
        return -1;
    }
};

bool is_running(pid_t pid)
{
    auto players = pids_named("mplayer");
    return std::find(players.begin(), players.end(), pid) != players.end();
}

} // namespace

// ---- Arrivals and listing ---------------------------------------------------

TEST(Arrive, FirstAndSecondJoinRenderTheHouseholdButPlayNothing)
{
    Tv tv;
    tv.say(xml("anna", "join"), Join{"anna", "ct2", "anna", "ct1,ct2", "anna.jpg", "ct2"}.logged());
    EXPECT_EQ(user_state("anna"), "online");
    tv.expect_view("ct2", "anna");
    EXPECT_EQ(tv.rendered(), (Lines{"[background] Name: 'anna'", "[background] Picture: 'anna.jpg'",
                                    "[background] Onlines: 'PRESENT KNOWN USERS:\\n1. anna\\n'",
                                    "[background] Channels: 'CHANNELS:\\n1. ct1\\n2. ct2\\n'"}));
    auto converts = tv.env.invocations_of("convert");
    ASSERT_EQ(converts.size(), 1u);
    EXPECT_EQ(converts[0].argv.at(1), "pictures/anna.jpg");
    EXPECT_EQ(converts[0].argv.back(), "out.jpg");
    EXPECT_EQ(tv.env.invocations_of("fbsetbg").back().argv, (Lines{"fbsetbg", "out.jpg"}));

    // The second arrival lists both users and the union of their channels; the channel stays.
    only_online({"anna", "peter"}); // only to learn the order the server gives them in
    Join peter{"peter", "", users_in("online"), "ct1,ct2,ct3", "peter.jpg", "ct2"};
    only_online({"anna"});
    tv.say(xml("peter", "join"), peter.logged());
    tv.expect_view("ct2", "peter");
    EXPECT_EQ(tv.rendered(), peter.shown());
    EXPECT_EQ(user_last("anna"), "ct2");
    EXPECT_EQ(user_last("peter"), "ct3");

    // A join only sets the channel; a player would have recorded itself within this time.
    std::this_thread::sleep_for(1500ms);
    EXPECT_TRUE(tv.env.invocations_of("mplayer").empty());
    EXPECT_EQ(tv.d.out().find("[player] Channel"), std::string::npos);
}

TEST(Arrive, ProbabilityJoinsOnceAndRepeatsAreRefused)
{
    Tv tv;
    tv.say(xml("anna", "", "", "80"),
           Lines{"[server] user: anna, prob: 80"} +
               Join{"anna", "ct2", "anna", "ct1,ct2", "anna.jpg", "ct2"}.logged());
    tv.expect_view("ct2", "anna");
    ASSERT_EQ(tv.rendered().size(), 4u);

    // "join" plus a probability is two joins; neither renders nor touches anything.
    tv.say(xml("anna", "join"), {"[cmd_join] user anna already online"});
    tv.say(xml("anna", "join", "", "80"),
           {"[cmd_join] user anna already online", "[server] user: anna, prob: 80",
            "[cmd_join] user anna already online"});
    tv.expect_view("ct2", "anna");
    EXPECT_EQ(users_in("online"), "anna");
    EXPECT_EQ(tv.env.invocations_of("convert").size(), 1u);
}

TEST(Arrive, JoinTakesTheChannelOnlyWhenOneIsOnline)
{
    const std::string nobody = "UPDATE userHasState SET ids=2",
                      long_picture = "picture_of_anna_in_winter.jpg";
    struct Case {
        const char* label;
        bool anna_first; // anna joins before (the channel becomes ct2) ...
        std::string sql; // ... then this runs behind the daemon's back
        Join join;
    } cases[] = {
        {"unknown name while nobody is online", true, nobody, {"zed", "", "", "", "", "ct2"}},
        {"unknown name while one is online", true, "", {"zed", "", "anna", "ct1,ct2", "", "ct1"}},
        {"no picture and no last channel", true, nobody, {"tom", "", "tom", "prima", "", ""}},
        {"picture name of 29 characters",
         false,
         "UPDATE pictures SET path='" + long_picture + "' WHERE id=1",
         {"anna", "ct2", "anna", "ct1,ct2", long_picture, "ct2"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Tv tv;
        std::ofstream(tv.env.workdir() + "/pictures/" + long_picture); // it must exist to be drawn
        if (c.anna_first) {
            tv.say(xml("anna", "join"));
            tv.rendered();
            tv.expect_view("ct2", "anna");
        }
        if (!c.sql.empty())
            db_exec(c.sql);
        tv.say(xml(c.join.name, "join"), c.join.logged());
        tv.expect_view(c.join.channel, c.join.name);
        EXPECT_EQ(tv.rendered(), c.join.shown());
        EXPECT_EQ(tv.env.invocations_of("convert").back().argv.at(1), "pictures/" + c.join.base());
    }
}

TEST(Arrive, ListNamesTheUsersInAState)
{
    Tv tv;
    std::string everybody = users_in("offline");
    tv.say(xml("", "list", "online"), {"[cmd_list] online is empty"});
    tv.say(xml("", "list", "offline"), {"[cmd_list] offline users: " + everybody});
    tv.say(xml("", "list", "asleep"), {"[cmd_list] asleep is empty"});
    only_online({"anna", "peter", "eva", "tom"});
    tv.say(xml("", "list", "online"), {"[cmd_list] online users: " + users_in("online")});
    tv.say(xml("", "list", "offline"), {"[cmd_list] offline is empty"});
    tv.expect_view("", "");
    EXPECT_EQ(users_in("online").size(), everybody.size());
}

// ---- Departures ---------------------------------------------------------------

TEST(Leave, LastOneOutBlanksTheScreen)
{
    Tv tv;
    tv.say(xml("anna", "join"));
    tv.say(xml("", "l:0 r:1"));
    int player = tv.player_of("ct1");
    ASSERT_GE(player, 0);

    tv.say(xml("anna", "leave"), {"[cmd_leave] anna is now offline."});
    tv.expect_view("", "");
    EXPECT_EQ(user_state("anna"), "offline");
    EXPECT_NE(tv.d.out().find("[player] restored\n[background] restored\n", tv.out_mark),
              std::string::npos);
    EXPECT_GT(tv.last_restore(), player);
    EXPECT_TRUE(wait_for([&] { return !is_running(tv.pid_at(player)); }, 3000ms))
        << "the player still runs";
    EXPECT_EQ(tv.env.invocations_of("mplayer").size(), 1u);
}

TEST(Leave, OthersStayAndTheChannelPlaysAgain)
{
    struct Case {
        const char* label;
        Lines setup;
        std::string who;
        Lines lines;
        std::string channel, user;
    } cases[] = {
        {"someone left has the channel",
         {xml("peter", "join"), xml("anna", "join")},
         "anna",
         Lines{"[cmd_leave] anna is now offline.", "[cmd_leave] player_set_channel(ct3)"} +
             plays("ct3"),
         "ct3",
         "peter"},
        // nova is eva's alone: the channel falls back to anna's last one.
        {"nobody left has the channel",
         {xml("anna", "join"), xml("eva", "join"), xml("", "l:0 r:3")},
         "eva",
         Lines{"[cmd_leave] eva is now offline.", "DB [LAST] ct2", "DB [LAST] ct2",
               "[cmd_leave] player_set_channel(ct2) ct2"} +
             plays("ct2"),
         "ct2",
         "anna"},
        {"a user who was not online",
         {xml("anna", "join")},
         "peter",
         Lines{"[cmd_leave] peter is now offline.", "[cmd_leave] player_set_channel(ct2)"} +
             plays("ct2"),
         "ct2",
         "anna"},
        {"a name nobody has",
         {xml("anna", "join")},
         "zed",
         Lines{"[cmd_leave] zed is now offline.", "[cmd_leave] player_set_channel(ct2)"} +
             plays("ct2"),
         "ct2",
         "anna"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Tv tv;
        for (const auto& msg : c.setup)
            tv.say(msg);
        tv.say(xml(c.who, "leave"), c.lines);
        tv.expect_view(c.channel, c.user);
        EXPECT_NE(user_state(c.who), "online");
        int restore = tv.last_restore();
        ASSERT_GE(restore, 0);
        EXPECT_GE(tv.player_of(c.channel, restore + 1), 0) << "no player after the restore";
    }
}

// ---- Channels -----------------------------------------------------------------

TEST(Zap, StepsThroughTheOnlineChannelsAndWraps)
{
    struct Step {
        Lines online; // when not empty: exactly these become online first
        std::string cmd, channel, anna_last, peter_last;
    } steps[] = {
        {{}, "prev", "ct3", "ct2", "ct3"}, // from nothing to the last
        {{}, "next", "ct1", "ct1", "ct3"}, // wraps to the first
        {{}, "next", "ct2", "ct2", "ct2"},        {{}, "next", "ct3", "ct2", "ct3"},
        {{}, "prev", "ct2", "ct2", "ct2"},        {{}, "prev", "ct1", "ct1", "ct2"},
        {{}, "prev", "ct3", "ct1", "ct3"},        // wraps to the last
        {{"anna"}, "next", "ct1", "ct1", "ct3"},  // ct3 is gone: the first
        {{"peter"}, "prev", "ct3", "ct1", "ct3"}, // ct1 is gone: the last
    };
    Tv tv({"anna", "peter"});
    for (const Step& s : steps) {
        SCOPED_TRACE(s.cmd + " to " + s.channel);
        if (!s.online.empty())
            only_online(s.online);
        tv.say(xml("", s.cmd), Lines{"[cmd_" + s.cmd + "] player_set_channel(" + s.channel + ")"} +
                                   plays(s.channel));
        tv.expect_view(s.channel, "");
        EXPECT_EQ(user_last("anna"), s.anna_last);
        EXPECT_EQ(user_last("peter"), s.peter_last);
        EXPECT_EQ(user_last("eva"), "nova"); // offline: never follows
    }
}

TEST(Zap, SingleChannelAndEmptyList)
{
    Tv tv({"tom"});
    tv.say(xml("", "next"), Lines{"[cmd_next] player_set_channel(prima)"} + plays("prima"));
    EXPECT_EQ(user_last("tom"), "prima");
    int first = tv.player_of("prima");
    ASSERT_GE(first, 0);
    tv.say(xml("", "prev"), Lines{"[cmd_prev] player_set_channel(prima)"} + plays("prima"));
    int again = tv.player_of("prima", first + 1);
    ASSERT_GE(again, 0) << "the one channel is not played again";
    tv.expect_view("prima", "");

    // Nobody online: no channel, and whatever plays goes on.
    only_online({});
    tv.say(xml("", "next"), Lines{"[cmd_next] player_set_channel()"} + plays_nothing());
    tv.expect_view("", "");
    tv.say(xml("", "prev"), Lines{"[cmd_prev] player_set_channel()"} + plays_nothing());
    tv.expect_view("", "");
    EXPECT_TRUE(tv.d.wait_stdout("[player] Channel: ''", 3000, 2));
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(tv.env.invocations_of("mplayer").size(), 2u);
    EXPECT_TRUE(is_running(tv.pid_at(again)));

    only_online({"tom"});
    tv.say(xml("", "next"),
           Lines{"[cmd_next] player_set_channel(prima)"} + plays("prima")); // from nothing
    tv.expect_view("prima", "");
}

TEST(Zap, ChangeAndLastLeaveTheViewAlone)
{
    Tv tv;
    tv.say(xml("anna", "join"));
    only_online({"anna", "peter"});
    tv.say(xml("", "chan", "ct1"), plays("ct1") + Lines{"[cmd_change] ct1"});
    tv.expect_view("ct2", "anna");
    EXPECT_EQ(user_last("anna"), "ct1");
    EXPECT_EQ(user_last("peter"), "ct3"); // online, has no ct1
    EXPECT_EQ(user_last("eva"), "nova");  // has ct1, offline
    int first = tv.player_of("ct1");
    ASSERT_GE(first, 0);

    // Without a channel name the current channel is shown again.
    tv.say(xml("", "change"), plays("ct2") + Lines{"[cmd_change] ct2"});
    tv.expect_view("ct2", "anna");
    EXPECT_EQ(user_last("anna"), "ct2");
    EXPECT_EQ(user_last("peter"), "ct2");
    EXPECT_GE(tv.player_of("ct2", first + 1), 0);

    size_t programs = tv.env.invocations().size();
    tv.say(xml("anna", "last"), {});
    tv.expect_view("ct2", "anna");
    EXPECT_EQ(users_in("online").size(), std::string("anna,peter").size());
    EXPECT_EQ(user_last("anna"), "ct2");
    EXPECT_EQ(tv.env.invocations().size(), programs);
}

// ---- Finger gestures ----------------------------------------------------------

TEST(Gesture, EveryRowOfTheTable)
{
    auto fingers = [](int l, int r, const Lines& rest) {
        return Lines{"[cmd_fingers] fingers: l:" + std::to_string(l) + " r:" + std::to_string(r) +
                     " sum:" + std::to_string(l * 10 + r)} +
               rest;
    };
    auto pick = [](int r, const std::string& ch) {
        return Lines{"[cmd_fingers] fingers: l:0 r:" + std::to_string(r) +
                     " sum:" + std::to_string(r) + " channel:ct1,ct2,ct3"} +
               plays(ch);
    };
    auto command = [](int n, Lines rest = {}) {
        return Lines{"[cmd_fingers] command " + std::to_string(n)} + rest;
    };
    auto volume = [&](int n, const std::string& sign, const std::string& word) {
        return command(n, {"[cmd_fingers] volume " + sign,
                           "[player_notify] notify-send 'Volume' '" + word + "' 0"});
    };
    auto step = [&](int n, const std::string& dir, const std::string& ch) {
        Lines lines{"[cmd_fingers] " + dir, "[cmd_" + dir + "] player_set_channel(" + ch + ")"};
        return command(n, lines + plays(ch));
    };
    struct Row {
        std::string cmd;
        Lines lines;
        std::string channel, amixer; // amixer: the volume step it must run, if any
    } rows[] = {
        {"l:0 r:0", fingers(0, 0, command(-50)), "", ""},
        {"l:1 r:3", fingers(0, 3, pick(3, "ct3")), "ct3", ""}, // one finger on the left counts none
        {"l:0 r:2", fingers(0, 2, pick(2, "ct2")), "ct2", ""},
        {"l:0 r:7", fingers(0, 7, pick(7, "ct3")), "ct3", ""}, // beyond the end: the last
        {"l:2 r:4", fingers(2, 4, volume(-26, "+", "up")), "ct3", "10dB+"},
        {"l:3 r:0", fingers(3, 0, volume(-20, "-", "down")), "ct3", "10dB-"},
        {"l:4 r:9", fingers(4, 9, step(-1, "next", "ct1")), "ct1", ""},
        {"l:5 r:0", fingers(5, 0, step(0, "prev", "ct3")), "ct3", ""},
        {"l:7 r:1", fingers(7, 1, command(21)), "ct3", ""},
        {"hello", fingers(0, 0, command(-50)), "ct3", ""},
        {"l:", fingers(0, 0, command(-50)), "ct3", ""},
        {"x", fingers(0, 0, command(-50)), "ct3", ""},
        {"l:4", fingers(4, 0, step(-10, "next", "ct1")), "ct1",
         ""}, // the right hand past the end counts 0
        {"l:a r:5", fingers(0, 5, pick(5, "ct3")), "ct3", ""},
    };
    Tv tv({"anna", "peter"});
    for (const Row& r : rows) {
        SCOPED_TRACE(r.cmd);
        size_t volume_steps = tv.env.invocations_of("amixer").size();
        tv.say(xml("", r.cmd), r.lines);
        tv.expect_view(r.channel, "");
        auto amixer = tv.env.invocations_of("amixer");
        ASSERT_EQ(amixer.size(), volume_steps + (r.amixer.empty() ? 0 : 1));
        if (!r.amixer.empty()) {
            EXPECT_EQ(amixer.back().argv, (Lines{"amixer", "set", "Master", r.amixer}));
        }
    }
}

TEST(Gesture, ChannelWhileNobodyOnlineSelectsNothing)
{
    Tv tv;
    tv.say(xml("anna", "join"));
    tv.rendered();
    only_online({});
    tv.say(xml("", "l:0 r:2"), Lines{"[cmd_fingers] fingers: l:0 r:2 sum:2",
                                     "[cmd_fingers] fingers: l:0 r:2 sum:2 channel:"} +
                                   plays_nothing());
    tv.expect_view("", "anna");
    EXPECT_TRUE(tv.d.wait_stdout("[player] Channel: ''", 3000));
    std::this_thread::sleep_for(1500ms);
    EXPECT_TRUE(tv.env.invocations_of("mplayer").empty());
}
