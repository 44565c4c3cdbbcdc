// The viewing state: the current user and the current channel, carried from
// one message to the next. One object, owned by the serving loop for the
// whole process; the handlers are given its buffers and change them in place.
#pragma once

#include <cstddef>

// Each buffer holds at most VIEW_SIZE - 1 bytes of text and its NUL.
constexpr std::size_t VIEW_SIZE = 20;

struct ViewingState {
    char currentUser[VIEW_SIZE] = "";
    char currentChannel[VIEW_SIZE] = "";
};
