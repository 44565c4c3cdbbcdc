// A household user as the database gives them and the household keeps them.
#pragma once

#include <string>

struct HouseholdUser {
    std::string name;
    std::string state;   // "online", "offline", or "" for a user without a state row
    std::string picture; // file name in pictures/, or ""
    std::string place;   // the television that last saw them, or "" (none, or not known)
    bool operator==(const HouseholdUser& o) const
    {
        return name == o.name && state == o.state && picture == o.picture && place == o.place;
    }
};
