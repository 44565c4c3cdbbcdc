// The memory floor of the daemon: a program that only loads and initialises
// the three client libraries it uses, then prints its resident memory in KiB.
// Built with VELMORA_FLOOR_SYSTEMD it also loads libsystemd, which the daemon
// uses for the socket handed over by the service manager.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <curl/curl.h>
#include <libxml/parser.h>
#include <mysql.h>
#ifdef VELMORA_FLOOR_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

int main()
{
    xmlInitParser();
    mysql_library_init(0, nullptr, nullptr);
    MYSQL* m = mysql_init(nullptr);
    curl_global_init(CURL_GLOBAL_DEFAULT);
#ifdef VELMORA_FLOOR_SYSTEMD
    sd_listen_fds(0);
#endif
    std::FILE* f = std::fopen("/proc/self/status", "r");
    char line[256];
    long rss = -1;
    while (f && std::fgets(line, sizeof line, f))
        if (std::strncmp(line, "VmRSS:", 6) == 0)
            rss = std::atol(line + 6);
    if (f)
        std::fclose(f);
    std::printf("%ld\n", rss);
    mysql_close(m);
    return rss < 0;
}
