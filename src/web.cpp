#include "web.hpp"

#include <cstdio>

bool web_bind(const Settings&)
{
    return true;
}
void web_start() {}
void web_stop() {}
int web_pair(const Settings&)
{
    std::fprintf(stderr, "velmora-server: the web page is not built in\n");
    return 2;
}
