// The monotonic clock of the serving thread's deadlines and short pauses,
// read straight from the kernel. std::chrono::steady_clock would do the same
// through the C++ library, whose code pages the daemon would then keep
// resident for two calls (a box without MQTT and the page uses little else
// of it).
#pragma once

#include <chrono>
#include <ctime>

struct MonotonicClock {
    using duration = std::chrono::nanoseconds;
    using rep = duration::rep;
    using period = duration::period;
    using time_point = std::chrono::time_point<MonotonicClock>;
    static constexpr bool is_steady = true;

    static time_point now() noexcept
    {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return time_point(std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec));
    }
};

// Sleeps for `d` (a signal may end it early).
inline void pause_for(std::chrono::nanoseconds d)
{
    const timespec ts{static_cast<time_t>(d.count() / 1000000000),
                      static_cast<long>(d.count() % 1000000000)};
    nanosleep(&ts, nullptr);
}
