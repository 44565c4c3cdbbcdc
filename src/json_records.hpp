// User records from JSON: what an MQTT command or a command of the web page
// sends.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "record.hpp"

// The JSON form of user records: one object, or an array of objects, with the
// fields "name", "command", "presence" (texts, or null for a field without
// text) and "probability" (a whole number, or a text that starts with one as
// leadingInteger reads it); each may be missing.
constexpr std::size_t JSON_MAX = 4096;
struct JsonRecords {
    std::vector<Record> records;
    std::string error; // why the payload was refused; "" when it was not
};
JsonRecords recordsFromJson(std::string_view payload);
