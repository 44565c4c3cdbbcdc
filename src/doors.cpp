#include "doors.hpp"

#include <cstdio>
#include <dlfcn.h>
#include <string>
#include <unistd.h>

#include "log.hpp"

#ifndef VELMORA_MODULE_RELDIR
#define VELMORA_MODULE_RELDIR "../lib/velmora"
#endif

namespace {

// What the house lends its doors.
const DoorHost kHost = {household::add_listener, household::remove_listener,
                        household::snapshot, inbox::post};

// The folder of the running program, with its last '/'; "" when unknown.
std::string own_folder()
{
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return "";
    std::string p(path, static_cast<std::size_t>(n));
    return p.substr(0, p.rfind('/') + 1);
}

// The entry point `symbol` of velmora-NAME.so: beside the program first (a
// build tree), else in the module folder installed with it. Null after
// `why` is set.
void* entry(const char* name, const char* symbol, std::string& why)
{
    const std::string file = std::string("velmora-") + name + ".so", here = own_folder();
    std::string path = here + file;
    if (access(path.c_str(), F_OK) != 0)
        path = here + VELMORA_MODULE_RELDIR "/" + file;
    // Loaded for the life of the process: a door's threads may still run
    // while the process ends.
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    void* found = module ? dlsym(module, symbol) : nullptr;
    if (!found)
        why = path + ": " + logSafe(dlerror());
    return found;
}

std::unique_ptr<Door> open(const char* name, const char* symbol, const char* off,
                           const Settings& settings)
{
    std::string why;
    auto open_door = reinterpret_cast<DoorOpen>(entry(name, symbol, why));
    if (!open_door) {
        std::fprintf(stderr, "[%s] cannot load %s; %s\n", name, why.c_str(), off);
        return nullptr;
    }
    return std::unique_ptr<Door>(open_door(settings, kHost));
}

} // namespace

std::unique_ptr<Door> mqtt_door(const Settings& settings)
{
    if (settings.mqtt.host.empty())
        return nullptr;
    return open("mqtt", "velmora_mqtt_open", "MQTT is off", settings);
}

std::unique_ptr<Door> web_door(const Settings& settings)
{
    if (!settings.web.enabled)
        return nullptr;
    return open("web", "velmora_web_open", "the page is off", settings);
}

int pair_through_web_door(const Settings& settings)
{
    std::string why;
    auto pair = reinterpret_cast<DoorPair>(entry("web", "velmora_web_pair", why));
    if (!pair) {
        std::fprintf(stderr, "velmora-server: --pair: cannot load %s\n", why.c_str());
        return 1;
    }
    return pair(settings);
}

int mqtt_clear_retained(const Settings& settings, const std::string& prefix,
                        const std::string& discovery, std::string& why)
{
    using Clear = int (*)(const Settings&, const std::string&, const std::string&, std::string&);
    auto clear = reinterpret_cast<Clear>(entry("mqtt", "velmora_mqtt_clear", why));
    if (!clear)
        return -1;
    return clear(settings, prefix, discovery, why);
}
