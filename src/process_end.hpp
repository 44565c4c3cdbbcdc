// How a room ends the process: it reports the end to its caller, and the
// serving loop's room ends the process in one place with the status given.
// A database that cannot be reached and a message that is no document of the
// required shape end it with -1 (255 as the shell sees it), after their own
// line; nothing below the serving loop calls exit().
#pragma once

struct ProcessEnd {
    int status;
};
