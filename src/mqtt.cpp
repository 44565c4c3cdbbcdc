#include "mqtt.hpp"

void mqtt_start(const Settings&) {}
void mqtt_stop() {}
