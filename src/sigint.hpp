// SIGINT as one flag that every wait of the daemon looks at: the handler only
// notes it, the serving loop runs the shutdown sequence, and the waits of the
// message in hand (programs, the guide server) end early.
#pragma once

// From the signal handler; async-signal-safe.
void sigint_note();
// The handler has run.
bool sigint_noted();
// The shutdown sequence has begun: its own waits are not cut short.
void shutdown_begins();
// True once SIGINT has come and until the shutdown sequence begins: every
// wait of the message in hand ends early, and no further record or
// connection is taken up.
bool shutdown_requested();
