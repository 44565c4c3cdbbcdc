#include "refusals.hpp"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "log.hpp"

namespace {
constexpr auto SECOND = std::chrono::seconds(1);
} // namespace

// Writes the counts when their seconds end, on a thread of its own that
// starts with the first count and ends with the process. Made before the
// first log (each log asks for it as it is made), so it outlives them all.
struct RefusalFlusher {
    std::mutex mu;
    std::condition_variable due;
    std::vector<RefusalLog*> counting;
    std::thread thread;
    bool ending = false;

    static RefusalFlusher& the()
    {
        static RefusalFlusher f;
        return f;
    }

    ~RefusalFlusher()
    {
        {
            std::lock_guard<std::mutex> lock(mu);
            ending = true;
        }
        due.notify_one();
        if (thread.joinable())
            thread.join();
    }

    void run()
    {
        std::unique_lock<std::mutex> lock(mu);
        while (!ending) {
            if (counting.empty()) {
                due.wait(lock);
                continue;
            }
            auto first = std::min_element(
                counting.begin(), counting.end(),
                [](RefusalLog* a, RefusalLog* b) { return a->quiet_until_ < b->quiet_until_; });
            const auto now = RefusalLog::Clock::now();
            if ((*first)->quiet_until_ > now) {
                due.wait_until(lock, (*first)->quiet_until_);
                continue;
            }
            (*first)->write_count(now);
            counting.erase(first);
        }
    }
};

RefusalLog::RefusalLog()
{
    RefusalFlusher::the();
}

RefusalLog::~RefusalLog()
{
    RefusalFlusher& f = RefusalFlusher::the();
    std::lock_guard<std::mutex> lock(f.mu);
    f.counting.erase(std::remove(f.counting.begin(), f.counting.end(), this), f.counting.end());
}

void RefusalLog::refused(std::string line)
{
    RefusalFlusher& f = RefusalFlusher::the();
    std::lock_guard<std::mutex> lock(f.mu);
    const auto now = Clock::now();
    if (counted_ == 0 && now >= quiet_until_) {
        logLine(stderr, "%s\n", line.c_str());
        quiet_until_ = now + SECOND;
        return;
    }
    last_ = std::move(line);
    if (counted_++ > 0)
        return;
    f.counting.push_back(this);
    if (!f.thread.joinable())
        f.thread = std::thread([&f] { f.run(); });
    f.due.notify_one();
}

// The flusher's mutex held.
void RefusalLog::write_count(Clock::time_point now)
{
    if (counted_ == 1)
        logLine(stderr, "%s\n", last_.c_str());
    else
        logLine(stderr, "%s (and %lu more since the last line)\n", last_.c_str(), counted_ - 1);
    counted_ = 0;
    last_.clear();
    quiet_until_ = now + SECOND;
}
