// The user record: what one `user` element of a message says, and what every
// other source (an MQTT command, a command of the web page) makes of what it
// receives.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

// A field value never holds more than this, whatever its entities expand to.
constexpr std::size_t FIELD_VALUE_MAX = 4096;

// One field of a user record: whether its element occurred, and its value
// when it has one (an element without text has none).
struct Field {
    bool found = false;
    std::optional<std::string> value;

    // The field with this value (cut to FIELD_VALUE_MAX on a character
    // boundary).
    void set(std::optional<std::string> v);
    // What a handler gets: a missing value is the empty text.
    const char* text() const { return value ? value->c_str() : ""; }
    // What the log shows: a missing value is told from an empty one.
    std::string shown() const;
};

struct Record {
    Field name, command, presence, probability;
};

// The one number rule of a probability, whichever source it came from: the
// text's leading decimal integer as atoi reads it (white space, an optional
// sign, then digits up to the first other character; "075" is 75, "80.5" is
// 80, "1e3" is 1, "0x60" is 0), held to the int range; none when the text
// does not start so.
std::optional<int> leadingInteger(const std::string& text);
