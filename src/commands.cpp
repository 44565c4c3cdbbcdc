// The command handlers: presence, channel navigation and finger gestures.
#include "commands.hpp"

#include <cctype>
#include <cstdio>
#include <string>
#include <string_view>

#include "household.hpp"
#include "log.hpp"
#include "player.hpp"
#include "secfunc.hpp"

int cmd_join(Db& db, char* name, char* current_channel)
{
    std::string onlines = db_get_all_users_by_state(db, "online");
    int isin = findItem(name, onlines);
    int listcount = countList(onlines);
    if (isin != -1) {
        // Recognised here: this television is where the user was last seen.
        if (db_set_user_place(db, name))
            household::presence_changed(db);
        std::fprintf(stderr, "[cmd_join] user %s already online\n", logSafe(name).c_str());
        return -1;
    }
    db_join_here(db, name);
    household::presence_changed(db);
    std::fprintf(stderr, "[cmd_join] %s is now online.\n", logSafe(name).c_str());
    onlines = db_get_all_users_by_state(db, "online");
    int onlinec = countList(onlines);
    std::string channels = db_get_all_channels_with_state(db, "online");
    std::string picture = db_get_user_picture(db, name);
    std::string first;
    if (listcount == 0)
        first = db_get_last(db, name);
    else if (!channels.empty())
        first = getAtPos(channels, 0);

    player_set_background(name, onlines.c_str(), channels.c_str(), picture.c_str());
    household::room_shown(onlines);
    if (onlinec == 1)
        copyText(current_channel, VIEW_SIZE, first);
    std::fprintf(stderr, "[cmd_join] player_set_channel(%s)\n", logSafe(current_channel).c_str());
    return 0;
}

bool chooseAsLeave(Db& db, std::string_view onlines, std::string_view channels,
                   char* current_user, char* current_channel)
{
    copyText(current_user, VIEW_SIZE, getAtPos(onlines, 0));
    if (findItem(current_channel, channels) >= 0)
        return false;
    copyText(current_channel, VIEW_SIZE, db_get_last(db, current_user));
    return true;
}

int cmd_leave(Db& db, const char* name, char* current_channel, char* current_user)
{
    db_set_user_state(db, name, "offline");
    household::presence_changed(db);
    std::string onlines = db_get_all_users_by_state(db, "online");
    std::string channels = db_get_all_channels_with_state(db, "online");
    std::fprintf(stderr, "[cmd_leave] %s is now offline.\n", logSafe(name).c_str());

    player_restore();
    household::room_shown(onlines);
    if (onlines.empty()) {
        current_user[0] = '\0';
        current_channel[0] = '\0';
        return 0;
    }
    if (chooseAsLeave(db, onlines, channels, current_user, current_channel)) {
        // The line shows the new user's last channel as read once more.
        const std::string again = db_get_last(db, current_user);
        std::fprintf(stderr, "[cmd_leave] player_set_channel(%s) %s\n",
                     logSafe(current_channel).c_str(), logSafe(again).c_str());
    } else {
        std::fprintf(stderr, "[cmd_leave] player_set_channel(%s)\n",
                     logSafe(current_channel).c_str());
    }
    player_set_channel(db, current_channel);
    return 0;
}

int cmd_list(Db& db, const char* state)
{
    // The household's, not the room's.
    std::string list = db_get_all_users_by_state(db, state, Where::household);
    if (list.empty())
        std::fprintf(stderr, "[cmd_list] %s is empty\n", logSafe(state).c_str());
    else
        std::fprintf(stderr, "[cmd_list] %s users: %s\n", logSafe(state).c_str(),
                     logSafe(list).c_str());
    return 0;
}

int cmd_change(Db& db, const char* chnnl)
{
    player_set_channel(db, chnnl);
    std::fprintf(stderr, "[cmd_change] %s\n", logSafe(chnnl).c_str());
    return 0;
}

int cmd_last(char*)
{
    return 0;
}

// ---------------------------------------------------------------- navigation

namespace {

std::string online_channels(Db& db)
{
    return db_get_all_channels_with_state(db, "online");
}

} // namespace

int cmd_next(Db& db, char* current_channel)
{
    std::string chlist = online_channels(db);
    int pos = findItem(current_channel, chlist);
    pos = (pos + 1 == countList(chlist)) ? 0 : pos + 1;
    copyText(current_channel, VIEW_SIZE, getAtPos(chlist, pos));
    std::fprintf(stderr, "[cmd_next] player_set_channel(%s)\n", logSafe(current_channel).c_str());
    player_set_channel(db, current_channel);
    return 0;
}

int cmd_prev(Db& db, char* current_channel)
{
    std::string chlist = online_channels(db);
    int count = countList(chlist);
    int pos = findItem(current_channel, chlist);
    // From the first channel, or from one that is not in the list, to the last.
    pos = (pos <= 0) ? count - 1 : pos - 1;
    copyText(current_channel, VIEW_SIZE, count ? getAtPos(chlist, pos) : "");
    std::fprintf(stderr, "[cmd_prev] player_set_channel(%s)\n", logSafe(current_channel).c_str());
    player_set_channel(db, current_channel);
    return 0;
}

Gesture readGesture(std::string_view cmd)
{
    // The counts stand at positions 2 and 6 ("l:3 r:2"); a position past the
    // end of the text, or a character that is no digit, counts 0.
    auto count_at = [&](std::size_t i) {
        return (i < cmd.size() && std::isdigit(static_cast<unsigned char>(cmd[i]))) ? cmd[i] - '0'
                                                                                    : 0;
    };
    int left = count_at(2);
    int right = count_at(6);
    if (left == 1)
        left = 0;
    return {left, right, left * 10 + right};
}

int cmd_fingers(Db& db, const char* cmd, char* currentChannel, char* /*currentUser*/)
{
    auto [left, right, c_addr] = readGesture(cmd);
    std::fprintf(stderr, "[cmd_fingers] fingers: l:%d r:%d sum:%d\n", left, right, c_addr);

    if (c_addr >= 1 && c_addr <= 9) {
        std::string channels = online_channels(db);
        std::string schannel = channels.empty() ? "" : getAtPos(channels, c_addr - 1);
        std::fprintf(stderr, "[cmd_fingers] fingers: l:%d r:%d sum:%d channel:%s\n", left, right,
                     c_addr, logSafe(channels).c_str());
        copyText(currentChannel, VIEW_SIZE, schannel);
        player_set_channel(db, currentChannel);
        return 0;
    }
    std::fprintf(stderr, "[cmd_fingers] command %d\n", c_addr - 50);
    switch (left) {
    case 2:
        std::fprintf(stderr, "[cmd_fingers] volume +\n");
        player_volume("plus");
        break;
    case 3:
        std::fprintf(stderr, "[cmd_fingers] volume -\n");
        player_volume("minus");
        break;
    case 4:
        std::fprintf(stderr, "[cmd_fingers] next\n");
        cmd_next(db, currentChannel);
        break;
    case 5:
        std::fprintf(stderr, "[cmd_fingers] prev\n");
        cmd_prev(db, currentChannel);
        break;
    default:
        break;
    }
    return 0;
}
