// Test support for the real television: a private virtual screen (Xvfb) with
// a session bus and a notification service (dunst), what it shows as pixels,
// and what the notification service received.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace vt {

class TestEnv;

// ---- Pictures ---------------------------------------------------------------

struct Image {
    int width = 0, height = 0;
    std::string rgb; // width * height * 3 bytes
};

Image read_image(const std::string& path); // any file ImageMagick reads; throws
// Pixels where some channel differs by more than tolerance; every pixel when
// the sizes differ.
size_t differing_pixels(const Image& a, const Image& b, int tolerance = 24);

// ---- Programs -----------------------------------------------------------------

// Runs argv (searched on PATH) with env_extra ("K=V") over the current
// environment; returns its standard output. Throws when it cannot start or
// does not end with status 0.
std::string run_capture(const std::vector<std::string>& argv,
                        const std::vector<std::string>& env_extra = {});

// The programs a real screen needs that are not installed, blank-separated;
// empty when all are there.
std::string missing_screen_programs();

// Makes env a real television but for the player: ImageMagick's convert, the
// real fbsetbg and notify-send instead of the stand-ins, and 1280x720 pictures
// (a black screen, a black base, and gradients for the household's users).
void use_real_screen_programs(TestEnv& env);

// ---- The screen -----------------------------------------------------------------

struct Notification {
    std::string summary, body;
};

// Xvfb 1280x720 on a display it picks itself (unix socket only), a session
// bus and dunst, all under dir; stopped by the destructor. Throws when one of
// them does not come up.
class Screen {
public:
    explicit Screen(const std::string& dir);
    ~Screen();
    Screen(const Screen&) = delete;
    Screen& operator=(const Screen&) = delete;

    // DISPLAY, XAUTHORITY, DBUS_SESSION_BUS_ADDRESS, and HOME and
    // XDG_CONFIG_HOME inside dir, so that no program reads or writes the
    // machine's own settings.
    const std::vector<std::string>& env() const { return env_; }
    Image capture() const; // the root window with whatever is drawn on it
    // Closes what is shown, then reads dunst's history, oldest first; waits
    // (a few seconds at most) until it holds at least at_least of them.
    std::vector<Notification> notifications(size_t at_least = 0) const;

private:
    void stop();
    std::vector<std::string> env_;
    pid_t xvfb_ = -1, bus_ = -1, dunst_ = -1;
};

} // namespace vt
