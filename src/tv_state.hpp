// The television's own state, kept in the working directory so that a start
// after any end but the orderly shutdown (a rejected message, a lost
// database, a crash, SIGKILL, a power cut) can bring the television back to
// where it was. Written whole (a new file, then a rename), so that an end at
// any instant leaves the old state or the new one; removed by the orderly
// shutdown.
#pragma once

#include <optional>
#include <string>
#include <string_view>

struct TvState {
    std::string user, channel; // the viewing state
    std::string playing;       // the channel the player was last started with; "" once restored
    bool welcome = false;      // a welcome was set since the screen was last restored
    bool operator==(const TvState& o) const
    {
        return user == o.user && channel == o.channel && playing == o.playing &&
               welcome == o.welcome;
    }
};

namespace tv_state {

// The file's name in the working directory.
extern const char* const kFile;

// What the file holds, read once at start with a bound and every text cut
// to the viewing state's capacity; none without a file, or with one that is
// not a regular file of this form (one line says why it is ignored).
std::optional<TvState> read();
// The state as it is now, after each message: written only when it differs
// from what the file holds, so a message that changed none of it costs a
// comparison.
void keep(std::string_view user, std::string_view channel, std::string_view playing, bool welcome);
// The orderly shutdown: the file goes, and nothing is written after.
void remove();

} // namespace tv_state
