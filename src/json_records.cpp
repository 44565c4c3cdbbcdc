#include "json_records.hpp"

#include <nlohmann/json.hpp>

namespace {

using nlohmann::json;

// Characters that an XML message could not carry either.
bool xml_text(const std::string& s)
{
    for (unsigned char c : s)
        if (c < 0x20 && c != '\t' && c != '\n' && c != '\r')
            return false;
    return true;
}

// One record from one object; "" or the reason it is refused.
std::string take_object(const json& j, Record& r)
{
    if (!j.is_object())
        return "a record is not an object";
    for (auto it = j.begin(); it != j.end(); ++it) {
        const std::string& key = it.key();
        const json& v = it.value();
        Field* f = key == "name"          ? &r.name
                   : key == "command"     ? &r.command
                   : key == "presence"    ? &r.presence
                   : key == "probability" ? &r.probability
                                          : nullptr;
        if (!f)
            return "unknown field '" + key + "'";
        if (v.is_null()) {
            f->set(std::nullopt);
        } else if (v.is_string()) {
            const std::string& s = v.get_ref<const std::string&>();
            if (!xml_text(s))
                return "'" + key + "' holds a control character";
            if (f == &r.probability && !leadingInteger(s))
                return "'probability' is not a number";
            f->set(s);
        } else if (f == &r.probability && (v.is_number_integer() || v.is_number_unsigned())) {
            // The same text as in XML: a number with a fraction or an
            // exponent would read otherwise there, so it goes as a text.
            f->set(v.dump());
        } else {
            return "'" + key + "' must be " +
                   (f == &r.probability ? "a whole number or a text"
                                        : std::string("a text or null"));
        }
    }
    return "";
}

} // namespace

JsonRecords recordsFromJson(std::string_view payload)
{
    JsonRecords out;
    if (payload.size() > JSON_MAX) {
        out.error = "longer than " + std::to_string(JSON_MAX) + " bytes";
        return out;
    }
    json j = json::parse(payload.begin(), payload.end(), nullptr, false);
    if (j.is_discarded()) {
        out.error = "not JSON";
        return out;
    }
    if (!j.is_array()) {
        json one = json::array();
        one.push_back(std::move(j));
        j = std::move(one);
    }
    if (j.empty()) {
        out.error = "no records";
        return out;
    }
    for (const json& item : j) {
        Record r;
        out.error = take_object(item, r);
        if (!out.error.empty()) {
            out.records.clear();
            return out;
        }
        out.records.push_back(std::move(r));
    }
    return out;
}
