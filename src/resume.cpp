#include "resume.hpp"

#include <cstdio>
#include <string>

#include "commands.hpp"
#include "database.hpp"
#include "household.hpp"
#include "log.hpp"
#include "player.hpp"
#include "secfunc.hpp"
#include "tv_state.hpp"

namespace {

// Whether a user of the household, online or not, has `channel`.
bool someone_has(Db& db, const std::string& channel)
{
    for (const char* state : {"online", "offline"})
        if (findItem(channel, db_get_all_channels_with_state(db, state, Where::household)) >= 0)
            return true;
    return false;
}

// The television as `was` says it was, for the users online here now; each
// line begins with `where`.
void bring_back(const TvState& was, const std::string& where, ViewingState& view)
{
    Db db;
    std::string error;
    if (!db.open(error)) {
        logLine(stderr, "%sthe database is not reached (%s); the screen stays black\n",
                where.c_str(), logSafe(error).c_str());
        return;
    }
    const std::string onlines = db_get_all_users_by_state(db, "online");
    household::room_shown(onlines);
    if (onlines.empty()) {
        logLine(stderr, "%snobody is online; the screen stays black\n", where.c_str());
        return;
    }
    const std::string channels = db_get_all_channels_with_state(db, "online");
    copyText(view.currentUser, VIEW_SIZE, was.user);
    copyText(view.currentChannel, VIEW_SIZE, was.channel);
    std::string play = was.playing;
    if (findItem(view.currentUser, onlines) < 0) {
        chooseAsLeave(db, onlines, channels, view.currentUser, view.currentChannel);
        if (!play.empty())
            play = view.currentChannel;
    }
    // What played plays again, unless those who have it are all gone from
    // the room: then one of the room's channels does. (A channel nobody has,
    // asked for with "change", plays again as it was.)
    if (!play.empty() && findItem(play, channels) < 0 && someone_has(db, play)) {
        play = roomChannel(db, channels, view.currentUser, view.currentChannel);
        copyText(view.currentChannel, VIEW_SIZE, play);
    }
    const std::string picture = was.welcome ? db_get_user_picture(db, view.currentUser) : "";

    logLine(stderr, "%sonline %s; currentUser '%s', currentChannel '%s'; %s%s%s\n", where.c_str(),
            logSafe(onlines).c_str(), logSafe(view.currentUser).c_str(),
            logSafe(view.currentChannel).c_str(), was.welcome ? "the welcome, " : "",
            play.empty() ? "nothing plays" : "playing ", logSafe(play).c_str());
    if (was.welcome)
        player_set_background(view.currentUser, onlines.c_str(), channels.c_str(), picture.c_str());
    if (!play.empty())
        player_set_channel(db, play.c_str(), false); // no "Changing channel": nothing changed
    household::message_done(db, view.currentUser, view.currentChannel);
}

} // namespace

void resume_television(std::string_view television, ViewingState& view)
{
    const std::optional<TvState> was = tv_state::read();
    // Black, nothing playing, nobody in front of it: the start as ever.
    if (!was || *was == TvState{})
        return;
    bring_back(*was, "[resume] " + logSafe(television) + " ended without the shutdown: ", view);
}

void resume_show(ViewingState& view)
{
    // What the television shows now, as the state file keeps it after each
    // message.
    const std::optional<TvState> now = tv_state::read();
    player_restore();
    if (now && !(*now == TvState{}))
        bring_back(*now, "[resume] on the display that has come: ", view);
    Db db;
    household::message_done(db, view.currentUser, view.currentChannel);
}
