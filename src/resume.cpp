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

void resume_television(std::string_view television, ViewingState& view)
{
    const std::optional<TvState> was = tv_state::read();
    // Black, nothing playing, nobody in front of it: the start as ever.
    if (!was || *was == TvState{})
        return;
    const std::string where = "[resume] " + logSafe(television) + " ended without the shutdown: ";
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
    copyText(view.currentUser, VIEW_SIZE, was->user);
    copyText(view.currentChannel, VIEW_SIZE, was->channel);
    std::string play = was->playing;
    if (findItem(view.currentUser, onlines) < 0) {
        chooseAsLeave(db, onlines, channels, view.currentUser, view.currentChannel);
        if (!play.empty())
            play = view.currentChannel;
    }
    const std::string picture = was->welcome ? db_get_user_picture(db, view.currentUser) : "";

    logLine(stderr, "%sonline %s; currentUser '%s', currentChannel '%s'; %s%s%s\n", where.c_str(),
            logSafe(onlines).c_str(), logSafe(view.currentUser).c_str(),
            logSafe(view.currentChannel).c_str(), was->welcome ? "the welcome, " : "",
            play.empty() ? "nothing plays" : "playing ", logSafe(play).c_str());
    if (was->welcome)
        player_set_background(view.currentUser, onlines.c_str(), channels.c_str(),
                              picture.c_str());
    if (!play.empty())
        player_set_channel(db, play.c_str(), false); // no "Changing channel": nothing changed
    household::message_done(db, view.currentUser, view.currentChannel);
}
