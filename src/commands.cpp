#include "commands.hpp"

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <curl/curl.h>

#include "database.hpp"
#include "secfunc.hpp"

#ifndef VELMORA_GUIDE_HOST
#define VELMORA_GUIDE_HOST "127.0.0.1"
#endif

namespace {

// The player child of the latest channel change, until it is collected.
pid_t g_player_pid = 0;

void reset_child()
{
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGCHLD, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    // The listening socket and a database connection stay with the daemon.
    closefrom(3);
}

[[noreturn]] void end_child(int status)
{
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(status);
}

// A player child still in its pause would become a player after a later
// change or a restore: stop it before it does.
void cancel_pending_player()
{
    if (g_player_pid > 0)
        kill(g_player_pid, SIGTERM);
}

// Every child starts with default signal handling, an empty signal mask and
// none of the daemon's descriptors but the standard three; the streams are
// flushed first so that no buffered line is written twice.
pid_t fork_child()
{
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t pid = fork();
    if (pid == 0)
        reset_child();
    return pid;
}

// Runs argv (searched on PATH) and waits for it; returns the raw wait status,
// 127 << 8 when the program cannot be started (as the shell reports it), or -1
// when no process could be created.
int run_program(const std::vector<std::string>& argv)
{
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    pid_t pid = fork_child();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return status;
}

} // namespace

void reap_children()
{
    pid_t pid;
    while ((pid = waitpid(-1, nullptr, WNOHANG)) > 0)
        if (pid == g_player_pid)
            g_player_pid = 0;
}

// ---------------------------------------------------------------- player

int player_set_channel(const char* channel)
{
    int r = db_update_lasts(channel);
    std::fprintf(stderr, "db_update_lasts(%s): %d\n", channel, r);
    player_notify("Changing channel", channel);

    // Only the player of the latest change may remain.
    if (*channel)
        cancel_pending_player();
    pid_t pid = fork_child();
    if (pid > 0 && *channel)
        g_player_pid = pid;
    if (pid != 0)
        return 0;

    std::printf("[player] Channel: '%s'\n", channel);
    if (!*channel)
        end_child(-1);
    char sdvb[50];
    std::snprintf(sdvb, sizeof sdvb, "dvb://%s", std::string(cutText(channel, 43)).c_str());
    run_program({"pkill", "mplayer"});
    sleep(1);
    std::fflush(stdout);
    execlp("mplayer", "mplayer", "-rootwin", "-fs", "-nocache", "-forceidx", sdvb,
           static_cast<char*>(nullptr));
    end_child(-1);
}

namespace {

// convert reads %-escapes in annotation texts; a caption is drawn as written.
std::string literal_annotation(std::string_view text)
{
    std::string out;
    for (char c : text) {
        out += c;
        if (c == '%')
            out += '%';
    }
    return out;
}

std::string caption(const char* heading, const char* list)
{
    if (!*list)
        return "";
    std::string head = heading;
    return head + fmtList(list, LIST_MAX - head.size());
}

} // namespace

int player_set_background(const char* name, const char* onlines, const char* channels,
                          const char* picture)
{
    std::fprintf(stderr, "[player_set_background] user: %s\n", name);
    std::fprintf(stderr, "[player_set_background] onlines: %s\n", onlines);
    std::fprintf(stderr, "[player_set_background] channels: %s\n", channels);
    std::fprintf(stderr, "[player_set_background] picture: %s\n", picture);

    std::string pictured(cutText(*picture ? picture : "black.jpg", 29));
    std::string onlinesd = caption("PRESENT KNOWN USERS:\\n", onlines);
    std::string channelsd = caption("CHANNELS:\\n", channels);

    if (fork_child() != 0)
        return 0;
    run_program({"convert",
                 "pictures/" + pictured,
                 "-fill",
                 "white",
                 "-gravity",
                 "center",
                 "-pointsize",
                 "80",
                 "-annotate",
                 "+0+0",
                 "Welcome!",
                 "-gravity",
                 "southwest",
                 "-pointsize",
                 "20",
                 "-annotate",
                 "+80+80",
                 literal_annotation(onlinesd),
                 "-annotate",
                 "+1100+80",
                 literal_annotation(channelsd),
                 "out.jpg"});
    run_program({"fbsetbg", "out.jpg"});
    std::printf("[background] Name: '%s'\n", name);
    std::printf("[background] Picture: '%s'\n", pictured.c_str());
    std::printf("[background] Onlines: '%s'\n", onlinesd.c_str());
    std::printf("[background] Channels: '%s'\n", channelsd.c_str());
    end_child(-1);
}

int player_volume(const char* type)
{
    if (std::strcmp(type, "plus") == 0) {
        run_program({"amixer", "set", "Master", "10dB+"});
        player_notify("Volume", "up");
    } else if (std::strcmp(type, "minus") == 0) {
        run_program({"amixer", "set", "Master", "10dB-"});
        player_notify("Volume", "down");
    }
    return 0;
}

int player_notify(const char* title, const char* text)
{
    // The command line, as logged, holds at most 999 characters.
    static constexpr std::size_t TXT_MAX = 999;
    std::string_view t = cutText(title, TXT_MAX - 17);
    std::string_view x = cutText(text, TXT_MAX - 17 - t.size());
    std::string txt = "notify-send '" + std::string(t) + "' '" + std::string(x) + "'";

    std::vector<std::string> argv = {"notify-send"};
    // A text that starts with a dash is a text, not an option.
    if (t.substr(0, 1) == "-" || x.substr(0, 1) == "-")
        argv.push_back("--");
    argv.emplace_back(t);
    argv.emplace_back(x);
    int status = run_program(argv);
    std::fprintf(stderr, "[player_notify] %s %d\n", txt.c_str(), status);
    return 0;
}

int player_restore()
{
    cancel_pending_player();
    run_program({"pkill", "mplayer"});
    std::printf("[player] restored\n");
    run_program({"fbsetbg", "black.jpg"});
    std::printf("[background] restored\n");
    return 0;
}

// ---------------------------------------------------------------- presence

int cmd_join(char* name, char* current_channel)
{
    db_connect();
    std::string onlines = db_get_all_users_by_state("online");
    int isin = findItem(name, onlines);
    int listcount = countList(onlines);
    if (isin != -1) {
        db_close();
        std::fprintf(stderr, "[cmd_join] user %s already online\n", name);
        return -1;
    }
    db_set_user_state(name, "online");
    std::fprintf(stderr, "[cmd_join] %s is now online.\n", name);
    onlines = db_get_all_users_by_state("online");
    int onlinec = countList(onlines);
    std::string channels = db_get_all_channels_with_state("online");
    std::string picture = db_get_user_picture(name);
    std::string first;
    if (listcount == 0)
        first = db_get_last(name);
    else if (!channels.empty())
        first = getAtPos(channels, 0);
    db_close();

    player_set_background(name, onlines.c_str(), channels.c_str(), picture.c_str());
    if (onlinec == 1)
        copyText(current_channel, VIEW_SIZE, first);
    std::fprintf(stderr, "[cmd_join] player_set_channel(%s)\n", current_channel);
    return 0;
}

int cmd_leave(const char* name, char* current_channel, char* current_user)
{
    db_connect();
    db_set_user_state(name, "offline");
    std::string onlines = db_get_all_users_by_state("online");
    std::string channels = db_get_all_channels_with_state("online");
    db_close();
    std::fprintf(stderr, "[cmd_leave] %s is now offline.\n", name);

    player_restore();
    if (onlines.empty()) {
        current_user[0] = '\0';
        current_channel[0] = '\0';
        return 0;
    }
    copyText(current_user, VIEW_SIZE, getAtPos(onlines, 0));
    if (findItem(current_channel, channels) >= 0) {
        std::fprintf(stderr, "[cmd_leave] player_set_channel(%s)\n", current_channel);
    } else {
        db_connect();
        copyText(current_channel, VIEW_SIZE, db_get_last(current_user));
        std::string again = db_get_last(current_user);
        std::fprintf(stderr, "[cmd_leave] player_set_channel(%s) %s\n", current_channel,
                     again.c_str());
        db_close();
    }
    player_set_channel(current_channel);
    return 0;
}

int cmd_list(const char* state)
{
    db_connect();
    std::string list = db_get_all_users_by_state(state);
    db_close();
    if (list.empty())
        std::fprintf(stderr, "[cmd_list] %s is empty\n", state);
    else
        std::fprintf(stderr, "[cmd_list] %s users: %s\n", state, list.c_str());
    return 0;
}

int cmd_change(const char* chnnl)
{
    player_set_channel(chnnl);
    std::fprintf(stderr, "[cmd_change] %s\n", chnnl);
    return 0;
}

int cmd_last(char*)
{
    return 0;
}

// ---------------------------------------------------------------- navigation

namespace {

std::string online_channels()
{
    db_connect();
    std::string list = db_get_all_channels_with_state("online");
    db_close();
    return list;
}

} // namespace

int cmd_next(char* current_channel)
{
    std::string chlist = online_channels();
    int pos = findItem(current_channel, chlist);
    pos = (pos + 1 == countList(chlist)) ? 0 : pos + 1;
    copyText(current_channel, VIEW_SIZE, getAtPos(chlist, pos));
    std::fprintf(stderr, "[cmd_next] player_set_channel(%s)\n", current_channel);
    player_set_channel(current_channel);
    return 0;
}

int cmd_prev(char* current_channel)
{
    std::string chlist = online_channels();
    int count = countList(chlist);
    int pos = findItem(current_channel, chlist);
    // From the first channel, or from one that is not in the list, to the last.
    pos = (pos <= 0) ? count - 1 : pos - 1;
    copyText(current_channel, VIEW_SIZE, count ? getAtPos(chlist, pos) : "");
    std::fprintf(stderr, "[cmd_prev] player_set_channel(%s)\n", current_channel);
    player_set_channel(current_channel);
    return 0;
}

int cmd_fingers(const char* cmd, char* currentChannel, char* /*currentUser*/)
{
    // The counts stand at positions 2 and 6 ("l:3 r:2"); a position past the
    // end of the text, or a character that is no digit, counts 0.
    std::string_view text(cmd);
    auto count_at = [&](std::size_t i) {
        return (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])))
                   ? text[i] - '0'
                   : 0;
    };
    int left = count_at(2);
    int right = count_at(6);
    if (left == 1)
        left = 0;
    int c_addr = left * 10 + right;
    std::fprintf(stderr, "[cmd_fingers] fingers: l:%d r:%d sum:%d\n", left, right, c_addr);

    if (c_addr >= 1 && c_addr <= 9) {
        std::string channels = online_channels();
        std::string schannel = channels.empty() ? "" : getAtPos(channels, c_addr - 1);
        std::fprintf(stderr, "[cmd_fingers] fingers: l:%d r:%d sum:%d channel:%s\n", left, right,
                     c_addr, channels.c_str());
        copyText(currentChannel, VIEW_SIZE, schannel);
        player_set_channel(currentChannel);
        return 0;
    }
    std::fprintf(stderr, "[cmd_fingers] command %d\n", c_addr - 50);
    switch (left) {
    case 2:
        std::fprintf(stderr, "[cmd_fingers] volume +\n");
        player_volume("plus");
        break;
    case 3:
        std::fprintf(stderr, "[cmd_fingers] volume -\n");
        player_volume("minus");
        break;
    case 4:
        std::fprintf(stderr, "[cmd_fingers] next\n");
        cmd_next(currentChannel);
        break;
    case 5:
        std::fprintf(stderr, "[cmd_fingers] prev\n");
        cmd_prev(currentChannel);
        break;
    default:
        break;
    }
    return 0;
}

// ---------------------------------------------------------------- guide

namespace {

struct CurlCleanup {
    void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
using CurlHandle = std::unique_ptr<CURL, CurlCleanup>;

struct FileClose {
    void operator()(FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileClose>;

const std::string kGuideHost = VELMORA_GUIDE_HOST;
constexpr const char* kPostBody = "id=1&user=2&pin=4821&device=2";
// A guide server that is down or silent must not stop the daemon for good.
constexpr long kConnectTimeout = 5;
constexpr long kTotalTimeout = 15;

void set_timeouts(CURL* h)
{
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, kConnectTimeout);
    curl_easy_setopt(h, CURLOPT_TIMEOUT, kTotalTimeout);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
}

std::size_t discard(char*, std::size_t size, std::size_t n, void*)
{
    return size * n;
}

// Characters a query value may hold as they are; '&', '=', '+', '#' and '%'
// would change the query's meaning and are encoded with everything else.
bool url_safe(unsigned char c)
{
    return std::isalnum(c) || std::strchr("-._~!$'()*,;:@/?", c) != nullptr;
}

std::string url_encode(std::string_view s)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
        if (c != '\0' && url_safe(c)) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

// The POST; returns the body of its response as the scratch file holds it.
std::string request_token_response()
{
    File out(std::fopen("f", "w"));
    if (!out)
        std::fprintf(stderr, "[http_post] cannot create the scratch file f: %s\n",
                     std::strerror(errno));
    if (CurlHandle h{curl_easy_init()}) {
        std::string url = "http://" + kGuideHost + "/";
        curl_easy_setopt(h.get(), CURLOPT_URL, url.c_str());
        curl_easy_setopt(h.get(), CURLOPT_PORT, 8080L);
        curl_easy_setopt(h.get(), CURLOPT_POSTFIELDS, kPostBody);
        if (out)
            curl_easy_setopt(h.get(), CURLOPT_FILE, out.get());
        else
            curl_easy_setopt(h.get(), CURLOPT_WRITEFUNCTION, discard);
        set_timeouts(h.get());
        if (curl_easy_perform(h.get()) != CURLE_OK)
            std::fprintf(stderr, "FAIL\n");
        else
            std::fprintf(stderr, "Sending HTTP POST AT %s:8080 %s\n", kGuideHost.c_str(),
                         kPostBody);
    }
    if (!out)
        return "";
    out.reset();

    File in(std::fopen("f", "r"));
    if (!in) {
        std::fprintf(stderr, "[http_post] cannot read the scratch file f: %s\n",
                     std::strerror(errno));
        return "";
    }
    std::string s;
    if (std::fseek(in.get(), 0, SEEK_END) == 0) {
        long f_size = std::ftell(in.get());
        std::fseek(in.get(), 0, SEEK_SET);
        if (f_size > 0) {
            s.resize(static_cast<std::size_t>(f_size));
            s.resize(std::fread(s.data(), 1, s.size(), in.get()));
        }
    }
    return s;
}

} // namespace

int http_post()
{
    std::string s = request_token_response();
    curl_global_cleanup();

    // The token starts at offset 43 and ends before the first double quote
    // at offset 44 or later.
    std::size_t q = s.size() > 44 ? s.find('"', 44) : std::string::npos;
    if (q == std::string::npos) {
        std::fprintf(stderr, "[http_post] no token received\n");
        return 1;
    }
    std::string token = s.substr(43, q - 43);
    std::string url = "http://" + kGuideHost + ":8081/?token=" + url_encode(token) + "&users=2";
    std::fprintf(stderr, "token received: %s\n", token.c_str());

    if (CurlHandle h{curl_easy_init()}) {
        curl_easy_setopt(h.get(), CURLOPT_URL, url.c_str());
        set_timeouts(h.get());
        CURLcode rc = curl_easy_perform(h.get());
        std::fflush(stdout);
        if (rc != CURLE_OK)
            std::fprintf(stderr, "FAIL\n");
        else
            std::fprintf(stderr, "Sending HTTP GET AT %s\n", url.c_str());
    }
    curl_global_cleanup();
    return 1;
}
