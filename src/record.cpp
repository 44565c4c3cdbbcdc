#include "record.hpp"

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
