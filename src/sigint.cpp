#include "sigint.hpp"

#include <csignal>

namespace {
volatile sig_atomic_t g_sigint = 0;
bool g_in_shutdown = false;
} // namespace

void sigint_note()
{
    g_sigint = 1;
}

bool sigint_noted()
{
    return g_sigint != 0;
}

void shutdown_begins()
{
    g_in_shutdown = true;
}

bool shutdown_requested()
{
    if (g_in_shutdown)
        return false;
    if (g_sigint)
        return true;
    // Outside the loop's waits SIGINT is blocked and stays pending.
    sigset_t pending;
    return sigpending(&pending) == 0 && sigismember(&pending, SIGINT) == 1;
}
