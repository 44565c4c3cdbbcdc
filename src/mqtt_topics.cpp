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

std::string television_name(const std::string& prefix, const std::string& television)
{
    return television.empty() ? prefix.substr(prefix.rfind('/') + 1) : television;
}

// The presence moments, as event types and device trigger types.
const char* const kPresence[] = {"arrived", "left", "recognised"};

// What a device trigger of a user's presence waits for: the type and the
// user's id. Home Assistant reads a trigger's payload as a template, so no
// name goes there as it is: the id has only [A-Za-z0-9_-].
std::string presence_trigger(const char* type, const std::string& user)
{
    return std::string(type) + " " + id_part(user);
}

// A gesture as its event type: the actions of the remote's finger counts
// (a channel number, volume up and down, next, previous), and the free
// gestures of a left count from 6 to 9 as they are shown, "l:7 r:1".
std::string gesture_type(int left, int right)
{
    static const char* const actions[] = {"channel",     nullptr, "volume_up",
                                          "volume_down", "next",  "previous"};
    if (left >= 0 && left <= 5 && actions[left])
        return actions[left];
    return "l:" + std::to_string(left) + " r:" + std::to_string(right);
}

// What a device trigger of a gesture waits for, and its subtype: "channel 3",
// "volume up", "l:7 r:1".
std::string gesture_trigger(int left, int right)
{
    std::string t = gesture_type(left, right);
    if (t == "channel")
        return t + " " + std::to_string(right);
    for (char& c : t)
        if (c == '_')
            c = ' ';
    return t;
}

// Every gesture that is a moment, one per action and per free gesture (the
// channel gestures as one type, with the number).
template <typename F> void each_gesture(F f)
{
    for (int left : {0, 2, 3, 4, 5})
        f(left, left ? 0 : 1);
    for (int left = 6; left <= 9; ++left)
        for (int right = 0; right <= 9; ++right)
            f(left, right);
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
    auto on_device = [&](const char* component, const std::string& object, json& body) {
        if (device.is_null())
            device = {{"identifiers", {node}},
                      {"name", "Velmora " + television_name(prefix, now.television)},
                      {"manufacturer", "Velmora"},
                      {"model", "Velmora set-top daemon"},
                      {"sw_version", VELMORA_VERSION}};
        body["device"] = device;
        put(config_topic(component, object), dump(body));
    };
    auto config = [&](const char* component, const std::string& object, json body) {
        if (discovery.empty())
            return;
        body["unique_id"] = node + "_" + object;
        body["availability_topic"] = prefix + "/status";
        on_device(component, object, body);
    };
    // A device trigger: what the automation editor offers as "type"
    // "subtype" of the television, firing on the event whose "trigger" is
    // `payload` (a text without template syntax).
    const std::string presence_events = prefix + "/event/presence",
                      gesture_events = prefix + "/event/gesture";
    auto trigger = [&](const std::string& object, const std::string& topic, const char* type,
                       const std::string& subtype, const std::string& payload) {
        if (discovery.empty())
            return;
        json body = {{"automation_type", "trigger"},
                     {"topic", topic},
                     {"type", type},
                     {"subtype", subtype},
                     {"payload", payload},
                     {"value_template", "{{ value_json.trigger }}"}};
        on_device("device_automation", object, body);
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
        if (all || added) {
            config("binary_sensor", "user_" + id_part(u.name),
                   {{"name", u.name},
                    {"state_topic", topic},
                    {"json_attributes_topic", topic + "/attributes"},
                    {"device_class", "presence"},
                    {"payload_on", "online"},
                    {"payload_off", "offline"}});
            for (const char* type : kPresence)
                trigger(std::string(type) + "_user_" + id_part(u.name), presence_events, type,
                        u.name, presence_trigger(type, u.name));
        }
        if (!added)
            gone.erase(was);
    }
    for (const auto& [name, u] : gone) {
        put(prefix + "/user/" + mqtt_topic_level(name), "");
        put(prefix + "/user/" + mqtt_topic_level(name) + "/attributes", "");
        if (discovery.empty())
            continue;
        put(config_topic("binary_sensor", "user_" + id_part(name)), "");
        for (const char* type : kPresence)
            put(config_topic("device_automation", std::string(type) + "_user_" + id_part(name)),
                "");
    }
    if (all || before.online != now.online)
        put(prefix + "/online", dump(json(now.online)));
    if (all || before.viewing_user != now.viewing_user ||
        before.viewing_channel != now.viewing_channel)
        put(viewing, dump({{"user", now.viewing_user}, {"channel", now.viewing_channel}}));
    if (all || before.playing != now.playing)
        put(playing, now.playing);
    const std::string database = prefix + "/database", refused = prefix + "/refused",
                      version = prefix + "/version";
    if (all || before.database_failing != now.database_failing)
        put(database, now.database_failing ? "failing" : "ok");
    if (all || before.refused != now.refused)
        put(refused, std::to_string(now.refused));
    if (all)
        put(version, VELMORA_VERSION);

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

        // What happens at the television.
        config("event", "presence",
               {{"name", "Presence"},
                {"state_topic", presence_events},
                {"event_types", kPresence},
                {"icon", "mdi:account-arrow-right"}});
        json types = json::array();
        each_gesture([&](int left, int right) {
            types.push_back(gesture_type(left, right));
            // A trigger per channel number, and one per other gesture.
            for (int n = left ? right : 1; n <= (left ? right : 9); ++n) {
                const std::string t = gesture_trigger(left, n);
                std::string object = "gesture_";
                for (char c : t)
                    if (std::isalnum(static_cast<unsigned char>(c)) || c == ' ')
                        object += c == ' ' ? '_' : c;
                trigger(object, gesture_events, "gesture", t, t);
            }
        });
        config("event", "gesture",
               {{"name", "Gesture"},
                {"state_topic", gesture_events},
                {"event_types", types},
                {"icon", "mdi:hand-back-right"}});

        // Its health.
        config("binary_sensor", "database",
               {{"name", "Database"},
                {"state_topic", database},
                {"device_class", "problem"},
                {"entity_category", "diagnostic"},
                {"payload_on", "failing"},
                {"payload_off", "ok"}});
        config("sensor", "refused",
               {{"name", "Messages refused"},
                {"state_topic", refused},
                {"state_class", "total_increasing"},
                {"entity_category", "diagnostic"},
                {"icon", "mdi:message-alert-outline"}});
        config("sensor", "version",
               {{"name", "Version"},
                {"state_topic", version},
                {"entity_category", "diagnostic"},
                {"icon", "mdi:information-outline"}});
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

MqttMessage mqtt_event(const std::string& prefix, const std::string& television, const Moment& m)
{
    json e = {{"television", television_name(prefix, television)}};
    if (m.kind == Moment::gesture) {
        const std::string type = gesture_type(m.left_count, m.right_count);
        e["event_type"] = type;
        e["gesture"] = "l:" + std::to_string(m.left_count) + " r:" + std::to_string(m.right_count);
        if (type == "channel") {
            e["number"] = m.right_count;
            e["channel"] = m.channel;
        }
        e["trigger"] = gesture_trigger(m.left_count, m.right_count);
        return {prefix + "/event/gesture", dump(e)};
    }
    static_assert(Moment::arrived == 0 && Moment::left == 1 && Moment::recognised == 2,
                  "kPresence follows the kinds");
    const char* type = kPresence[m.kind];
    e["event_type"] = type;
    e["user"] = m.user;
    if (m.kind == Moment::recognised)
        e["probability"] = m.probability;
    e["trigger"] = presence_trigger(type, m.user);
    return {prefix + "/event/presence", dump(e)};
}
