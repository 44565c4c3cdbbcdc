// The one launcher: every program the daemon starts goes through here. It
// flushes the streams before it forks, gives each child default signals, an
// empty mask and none of the daemon's descriptors but the standard three,
// ends a failed child with _exit, bounds every wait, and collects finished
// children from the serving loop.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

// How long a program may take. Notifications and the volume share the
// message's time (budget.hpp); the screen's restore and the channel start keep
// their own bound whatever the message has spent, so that the screen follows
// the household even after three hung notifications. A child (the render)
// runs the programs of the message kind to their end.
enum class Wait { message, own };

// Runs argv (searched on PATH) and waits for it; returns the raw wait status,
// 127 << 8 when the program cannot be started (as the shell reports it), or -1
// when no process could be created. In the daemon the wait is bounded: a
// program still running after its time (Wait), or when SIGINT comes, is
// stopped (its status then shows the signal). After SIGINT no program is
// started until the shutdown sequence (-1, and a line that says so).
int run_program(const std::vector<std::string>& argv, Wait wait = Wait::message);

// A wait status as a log line tells it: "exit status 1", "killed by signal 9",
// "not started".
std::string status_text(int status);

// Forks a child as described above; in a group of its own with `own_group`
// (so that it can be stopped with every program it starts), and killed with
// its parent with `ends_with_parent` (and so are the children it forks).
pid_t fork_child(bool own_group = false, bool ends_with_parent = false);
// Ends a child: its streams flushed, then _exit.
[[noreturn]] void end_child(int status);
// A program that cannot be started, named on stderr with the reason; the
// child writes straight to the descriptor, past any stream buffer.
void report_exec_failure(const char* program);

// Collects every finished child without waiting for a running one; the
// serving loop calls it, so no child of the daemon stays a zombie. Each
// collected child is told to the function set with on_child_end.
void reap_children();
void on_child_end(void (*ended)(pid_t pid));
