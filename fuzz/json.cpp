// What MQTT brings in and sends out, on any bytes: the payload of a command
// as JSON records, and the same bytes as household names and channels on
// their way out (topic levels, discovery configs). A payload is either
// refused with a reason or gives records; a topic level decodes back to the
// name; every topic is one the broker takes and every config is JSON.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include <mosquitto.h>
#include <nlohmann/json.hpp>

#include "inbox.hpp"
#include "mqtt_topics.hpp"
#include "json_records.hpp"

namespace {

void check(bool ok)
{
    if (!ok)
        std::abort();
}

std::string decoded(const std::string& level)
{
    std::string out;
    for (std::size_t i = 0; i < level.size(); ++i) {
        if (level[i] != '%') {
            out += level[i];
            continue;
        }
        check(i + 2 < level.size());
        out += static_cast<char>(std::stoi(level.substr(i + 1, 2), nullptr, 16));
        i += 2;
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string_view in(reinterpret_cast<const char*>(data), size);
    JsonRecords r = recordsFromJson(in);
    check(r.error.empty() != r.records.empty());

    std::string level = mqtt_topic_level(in);
    check(level.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                  "0123456789-_.~%") == std::string::npos);
    check(decoded(level) == in);

    // Names and channels split at line breaks (a few: each costs configs),
    // also as places; the first is the television and the viewing user, the
    // last the viewing channel.
    Snapshot now;
    for (std::size_t at = 0; at <= in.size() && now.users.size() < 8;) {
        std::size_t end = std::min(in.find('\n', at), in.size());
        std::string item(in.substr(at, end - at));
        now.users.push_back({item, at % 2 ? "online" : "offline", "", item});
        now.channels.push_back(item);
        at = end + 1;
    }
    now.online = now.channels;
    now.viewing_user = now.television = now.channels.front();
    now.viewing_channel = now.playing = now.channels.back();
    for (const MqttMessage& m : mqtt_messages("velmora/fuzz", "homeassistant", {}, now, true)) {
        check(mosquitto_pub_topic_check2(m.topic.data(), m.topic.size()) == MOSQ_ERR_SUCCESS);
        check(mosquitto_validate_utf8(m.topic.data(), static_cast<int>(m.topic.size())) ==
              MOSQ_ERR_SUCCESS);
        if (m.topic.rfind("homeassistant/", 0) == 0 && !m.payload.empty())
            check(!nlohmann::json::parse(m.payload, nullptr, false).is_discarded());
    }
    return 0;
}
