#include "mqtt_topics.hpp"

#include <cctype>
#include <cstring>
#include <map>

#include <nlohmann/json.hpp>

#include "hex.hpp"
#include "secfunc.hpp"

#ifndef VELMORA_VERSION
#define VELMORA_VERSION "0"
#endif

namespace {

using nlohmann::json;
// Names come from the database and may hold anything: a byte that is not
// UTF-8 is replaced rather than thrown about.
std::string dump(const json& j)
{
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

// A text as a Home Assistant node or object id ([A-Za-z0-9_-] only): '/'
// becomes '_', every other byte outside A-Z a-z 0-9 becomes -XX, so that two
// texts never share an id.
std::string id_part(std::string_view s)
{
    std::string out;
    for (unsigned char c : s) {
        if (c < 0x80 && std::isalnum(c)) {
            out += static_cast<char>(c);
        } else if (c == '/') {
            out += '_';
        } else {
            out += '-';
            appendHex(out, c);
        }
    }
    return out;
}

const char* state_of(const HouseholdUser& u)
{
    return u.state == "online" ? "online" : "offline";
}

// A user's presence attributes: the television where a present user was
// last seen, null while absent or not known.
std::string attributes(const HouseholdUser& u)
{
    const bool known = u.state == "online" && !u.place.empty();
    return dump({{"television", known ? json(u.place) : json()}});
}

// The record a Home Assistant control sends on P/command.
std::string record(const char* command, const char* presence = nullptr)
{
    json r = {{"name", "homeassistant"}, {"command", command}};
    if (presence)
        r["presence"] = presence;
    return dump(r);
}

// The same record with the entity's value as presence, as a Home Assistant
// command template.
std::string record_template(const char* command)
{
    return R"({"name": "homeassistant", "command": ")" + std::string(command) +
           R"(", "presence": {{ value | to_json }}})";
}

} // namespace

std::string mqtt_topic_level(std::string_view name)
{
    return percentEncode(name, unreserved);
}

std::string mqtt_node(std::string_view prefix)
{
    return "velmora_" + id_part(prefix);
}

std::vector<MqttMessage> mqtt_messages(const std::string& prefix, const std::string& discovery,
                                       const Snapshot& before, const Snapshot& now, bool all)
{
    std::vector<MqttMessage> out;
    auto put = [&](std::string topic, std::string payload) {
        out.push_back({std::move(topic), std::move(payload)});
    };
    const std::string node = mqtt_node(prefix);
    const std::string command = prefix + "/command", viewing = prefix + "/viewing",
                      playing = prefix + "/playing";
    auto config_topic = [&](const char* component, const std::string& object) {
        return discovery + "/" + component + "/" + node + "/" + object + "/config";
    };
    json device; // built once a config needs it
    auto config = [&](const char* component, const std::string& object, json body) {
        if (discovery.empty())
            return;
        if (device.is_null())
            device = {
                {"identifiers", {node}},
                {"name", "Velmora " + (now.television.empty() ? prefix.substr(prefix.rfind('/') + 1)
                                                              : now.television)},
                {"manufacturer", "Velmora"},
                {"model", "Velmora set-top daemon"},
                {"sw_version", VELMORA_VERSION}};
        body["unique_id"] = node + "_" + object;
        body["availability_topic"] = prefix + "/status";
        body["device"] = device;
        put(config_topic(component, object), dump(body));
    };

    std::map<std::string, const HouseholdUser*> gone;
    for (const HouseholdUser& u : before.users)
        gone[u.name] = &u;
    for (const HouseholdUser& u : now.users) {
        auto was = gone.find(u.name);
        const bool added = was == gone.end();
        const std::string topic = prefix + "/user/" + mqtt_topic_level(u.name);
        if (all || added || std::strcmp(state_of(*was->second), state_of(u)) != 0)
            put(topic, state_of(u));
        if (all || added || attributes(*was->second) != attributes(u))
            put(topic + "/attributes", attributes(u));
        if (all || added)
            config("binary_sensor", "user_" + id_part(u.name),
                   {{"name", u.name},
                    {"state_topic", topic},
                    {"json_attributes_topic", topic + "/attributes"},
                    {"device_class", "presence"},
                    {"payload_on", "online"},
                    {"payload_off", "offline"}});
        if (!added)
            gone.erase(was);
    }
    for (const auto& [name, u] : gone) {
        put(prefix + "/user/" + mqtt_topic_level(name), "");
        put(prefix + "/user/" + mqtt_topic_level(name) + "/attributes", "");
        if (!discovery.empty())
            put(config_topic("binary_sensor", "user_" + id_part(name)), "");
    }
    if (all || before.online != now.online)
        put(prefix + "/online", dump(json(now.online)));
    if (all || before.viewing_user != now.viewing_user ||
        before.viewing_channel != now.viewing_channel)
        put(viewing, dump({{"user", now.viewing_user}, {"channel", now.viewing_channel}}));
    if (all || before.playing != now.playing)
        put(playing, now.playing);

    if (all) {
        // Nothing playing, nobody watching: None, which Home Assistant
        // shows as unknown.
        config("sensor", "current_channel",
               {{"name", "Current channel"},
                {"state_topic", playing},
                {"value_template", "{{ value or None }}"},
                {"icon", "mdi:television-classic"}});
        config("sensor", "current_user",
               {{"name", "Current user"},
                {"state_topic", viewing},
                {"value_template", "{{ value_json.user or None }}"},
                {"icon", "mdi:account"}});
        const struct {
            const char *object, *name, *icon, *command, *presence;
        } buttons[] = {
            {"next", "Next channel", "mdi:skip-next", "next", nullptr},
            {"prev", "Previous channel", "mdi:skip-previous", "prev", nullptr},
            {"volume_up", "Volume up", "mdi:volume-plus", "volume", "plus"},
            {"volume_down", "Volume down", "mdi:volume-minus", "volume", "minus"},
        };
        for (const auto& b : buttons)
            config("button", b.object,
                   {{"name", b.name},
                    {"command_topic", command},
                    {"payload_press", record(b.command, b.presence)},
                    {"icon", b.icon}});
        config("notify", "notify",
               {{"name", "Notification"},
                {"command_topic", command},
                {"command_template", record_template("notify")}});
    }
    // A select needs at least one option.
    if (all || before.channels != now.channels) {
        if (!now.channels.empty())
            config("select", "channel",
                   {{"name", "Channel"},
                    {"command_topic", command},
                    {"command_template", record_template("change")},
                    {"options", now.channels},
                    // What plays when it is one of the options, else None
                    // (unknown): a select with a state topic shows only
                    // what that topic says.
                    {"state_topic", playing},
                    {"value_template", "{{ value if value in this.attributes.options else None }}"},
                    {"icon", "mdi:television-guide"}});
        else if (!discovery.empty())
            put(config_topic("select", "channel"), "");
    }
    return out;
}
