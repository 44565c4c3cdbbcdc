#include "record.hpp"

#include <cctype>
#include <climits>
#include <cstdlib>

#include "log.hpp"
#include "secfunc.hpp"

void Field::set(std::optional<std::string> v)
{
    found = true;
    if (v && v->size() > FIELD_VALUE_MAX)
        v = std::string(cutText(*v, FIELD_VALUE_MAX));
    value = std::move(v);
}

std::string Field::shown() const
{
    return value ? logSafe(*value) : "(null)";
}

std::optional<int> leadingInteger(const std::string& text)
{
    const char* p = text.c_str();
    while (std::isspace(static_cast<unsigned char>(*p)))
        ++p;
    if (!std::isdigit(static_cast<unsigned char>(*p == '+' || *p == '-' ? p[1] : *p)))
        return std::nullopt;
    const long v = std::strtol(p, nullptr, 10);
    return static_cast<int>(v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : v);
}
