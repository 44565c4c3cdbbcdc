#include "inbox.hpp"

#include <cerrno>
#include <deque>
#include <mutex>
#include <sys/eventfd.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

namespace inbox {
namespace {

std::mutex g_mu;
std::deque<InboxMessage> g_waiting;

} // namespace

int wake_fd()
{
    static const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return fd;
}

bool post(InboxMessage message)
{
    {
        std::lock_guard<std::mutex> lock(g_mu);
        if (g_waiting.size() >= MAX_WAITING)
            return false;
        g_waiting.push_back(std::move(message));
    }
    uint64_t one = 1;
    while (write(wake_fd(), &one, sizeof one) < 0 && errno == EINTR) {
    }
    return true;
}

bool take(InboxMessage& message)
{
    std::lock_guard<std::mutex> lock(g_mu);
    if (g_waiting.empty()) {
        uint64_t n;
        while (read(wake_fd(), &n, sizeof n) < 0 && errno == EINTR) {
        }
        return false;
    }
    message = std::move(g_waiting.front());
    g_waiting.pop_front();
    return true;
}

} // namespace inbox

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
