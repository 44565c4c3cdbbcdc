// Refusals that a flood can bring by the thousand (MQTT commands, web
// requests): one line at once for the first, then at most one line a second
// with the count of what was refused since the last line.
#pragma once

#include <chrono>
#include <string>

// One source's refusals, from any of its threads. Its last count may still
// come out at the end of its second, unless the log or the process ends
// first.
class RefusalLog {
public:
    RefusalLog();
    RefusalLog(const RefusalLog&) = delete;
    RefusalLog& operator=(const RefusalLog&) = delete;
    ~RefusalLog();

    // `line`, the refusal's own line without its line break, goes out at once
    // when a second has passed since this source's last line and nothing is
    // counted; otherwise it is counted, and the end of that second writes
    // the last such line with "(and N more since the last line)".
    void refused(std::string line);

private:
    friend struct RefusalFlusher;
    using Clock = std::chrono::steady_clock;
    void write_count(Clock::time_point now);

    Clock::time_point quiet_until_{};
    unsigned long counted_ = 0;
    std::string last_;
};
