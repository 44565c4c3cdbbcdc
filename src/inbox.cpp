#include "inbox.hpp"

#include <cerrno>
#include <deque>
#include <mutex>
#include <sys/eventfd.h>
#include <unistd.h>

namespace inbox {
namespace {

std::mutex g_mu;
std::deque<InboxMessage> g_waiting;

} // namespace

int wake_fd()
{
    static const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return fd;
}

bool post(InboxMessage message)
{
    {
        std::lock_guard<std::mutex> lock(g_mu);
        if (g_waiting.size() >= MAX_WAITING)
            return false;
        g_waiting.push_back(std::move(message));
    }
    uint64_t one = 1;
    while (write(wake_fd(), &one, sizeof one) < 0 && errno == EINTR) {
    }
    return true;
}

bool take(InboxMessage& message)
{
    std::lock_guard<std::mutex> lock(g_mu);
    if (g_waiting.empty()) {
        uint64_t n;
        while (read(wake_fd(), &n, sizeof n) < 0 && errno == EINTR) {
        }
        return false;
    }
    message = std::move(g_waiting.front());
    g_waiting.pop_front();
    return true;
}

} // namespace inbox
