#include "resume.hpp"

#include <cstdio>
#include <string>

#include "commands.hpp"
#include "database.hpp"
#include "household.hpp"
#include "log.hpp"
#include "secfunc.hpp"
#include "tv_state.hpp"

namespace {

// The television as `was` says it was, for the users online now; each line
// begins with `where`.
void bring_back(const TvState& was, const std::string& where, char* current_user,
                char* current_channel)
{
    std::string error;
    if (!db_try_connect(error)) {
        logLine(stderr, "%sthe database is not reached (%s); the screen stays black\n",
                where.c_str(), logSafe(error).c_str());
        return;
    }
    const std::string onlines = db_get_all_users_by_state("online");
    if (onlines.empty()) {
        db_close();
        logLine(stderr, "%snobody is online; the screen stays black\n", where.c_str());
        return;
    }
    const std::string channels = db_get_all_channels_with_state("online");
    std::string user = was.user, channel = was.channel, play = was.playing;
    if (findItem(user, onlines) < 0) {
        // As a leave chooses: the first online user, the channel kept when
        // one of the online users has it, else that user's last channel.
        user = getAtPos(onlines, 0);
        if (findItem(channel, channels) < 0)
            channel = db_get_last(user);
        if (!play.empty())
            play = channel;
    }
    const std::string picture = was.welcome ? db_get_user_picture(user) : "";
    db_close();

    copyText(current_user, VIEW_SIZE, user);
    copyText(current_channel, VIEW_SIZE, channel);
    logLine(stderr, "%sonline %s; currentUser '%s', currentChannel '%s'; %s%s%s\n", where.c_str(),
            logSafe(onlines).c_str(), logSafe(current_user).c_str(),
            logSafe(current_channel).c_str(), was.welcome ? "the welcome, " : "",
            play.empty() ? "nothing plays" : "playing ", logSafe(play).c_str());
    if (was.welcome)
        player_set_background(current_user, onlines.c_str(), channels.c_str(), picture.c_str());
    if (!play.empty())
        player_set_channel(play.c_str());
    household::message_done(current_user, current_channel);
}

} // namespace

void resume_television(std::string_view television, char* current_user, char* current_channel)
{
    const std::optional<TvState> was = tv_state::read();
    // Black, nothing playing, nobody in front of it: the start as ever.
    if (!was || *was == TvState{})
        return;
    bring_back(*was,
               "[resume] " + logSafe(television) + " ended without the shutdown: ", current_user,
               current_channel);
}

void resume_show(char* current_user, char* current_channel)
{
    // What the television shows now, as the state file keeps it after each message.
    const std::optional<TvState> now = tv_state::read();
    player_restore();
    if (now && !(*now == TvState{}))
        bring_back(*now, "[resume] on the display that has come: ", current_user, current_channel);
    household::message_done(current_user, current_channel);
}
