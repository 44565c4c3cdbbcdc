// The way from received bytes to user records and dispatch decisions, with
// recording doubles in place of the handlers; a rejected message ends the
// unit of work with the process's end. Every call must find the viewing
// state terminated within its buffers, and a join must get the current user.
// Every field value is what xmlNodeListGetString gives, cut at 4096 bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include <libxml/parser.h>

#include "commands.hpp"
#include "dispatch.hpp"
#include "message.hpp"
#include "process_end.hpp"
#include "secfunc.hpp"
#include "server.hpp"

namespace {

ViewingState view;
char* const user = view.currentUser;
char* const channel = view.currentChannel;
int calls;

void check(bool ok)
{
    if (!ok)
        std::abort();
}

// The buffers a handler gets are the viewing state, each terminated.
void viewing_state_sound()
{
    check(std::memchr(user, '\0', VIEW_SIZE) != nullptr);
    check(std::memchr(channel, '\0', VIEW_SIZE) != nullptr);
    ++calls;
}

void text(const char* s)
{
    check(s != nullptr);
    volatile size_t n = std::strlen(s); // the whole text is readable
    (void)n;
}

// The doubles change the viewing state the way the real handlers may.
const Handlers kDoubles = {
    [](char* name) {
        check(name == user);
        viewing_state_sound();
        return 0;
    },
    [](Db&, char* ch) {
        check(ch == channel);
        viewing_state_sound();
        copyText(ch, VIEW_SIZE, "ct1");
        return 0;
    },
    [](Db&, char* ch) {
        check(ch == channel);
        viewing_state_sound();
        copyText(ch, VIEW_SIZE, "ct3");
        return 0;
    },
    [](Db&, char* name, char* ch) {
        check(name == user && ch == channel);
        viewing_state_sound();
        copyText(ch, VIEW_SIZE, name);
        return 0;
    },
    [] {
        viewing_state_sound();
        return 1;
    },
    [](Db&, const char* name, char* ch, char* u) {
        text(name);
        check(ch == channel && u == user);
        viewing_state_sound();
        u[0] = ch[0] = '\0';
        return 0;
    },
    [](const char* title, const char* body) {
        check(std::strcmp(title, "xml notify") == 0);
        text(body);
        viewing_state_sound();
        return 0;
    },
    [](const char* type) {
        text(type);
        viewing_state_sound();
        return 0;
    },
    [](Db&, const char* state) {
        text(state);
        viewing_state_sound();
        return 0;
    },
    [](Db&, const char* ch) {
        text(ch);
        viewing_state_sound();
        return 0;
    },
    [](Db&, const char* cmd, char* ch, char* u) {
        text(cmd);
        check(ch == channel && u == user);
        viewing_state_sound();
        readGesture(cmd);
        return 0;
    },
};

void silent(void*, const char*, ...) {}

// Each field of each user element against the library's own value function.
void check_fields(xmlDocPtr doc)
{
    xmlNodePtr root = xmlDocGetRootElement(doc);
    xmlNodePtr users = root && root->children ? root->children->next : nullptr;
    for (xmlNodePtr u = users ? users->children : nullptr; u; u = u->next)
        for (xmlNodePtr f = u->children; f; f = f->next) {
            std::optional<std::string> mine = fieldValue(doc, f);
            xmlChar* lib = xmlNodeListGetString(doc, f->children, 1);
            check(mine.has_value() == (lib != nullptr));
            if (lib)
                check(*mine == cutText(reinterpret_cast<const char*>(lib), 4096));
            xmlFree(lib);
        }
}

// The document as text, or "" when there is none.
std::string dump(xmlDocPtr doc)
{
    if (doc == nullptr)
        return "";
    xmlChar* text = nullptr;
    int size = 0;
    xmlDocDumpMemory(doc, &text, &size);
    std::string out(reinterpret_cast<const char*>(text), static_cast<size_t>(size));
    xmlFree(text);
    xmlFreeDoc(doc);
    return out;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    handlers = kDoubles;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // What the serving loop hands over: one read of at most 1024 bytes, terminated.
    static char recvBuff[1025];
    size_t n = size < 1024 ? size : 1024;
    std::memcpy(recvBuff, data, n);
    recvBuff[n] = '\0';
    // The daemon's own parse gives the document the library's ordinary call
    // gives, or none when that gives none.
    xmlSetGenericErrorFunc(nullptr, silent);
    xmlDocPtr doc =
        xmlReadMemory(recvBuff, static_cast<int>(std::strlen(recvBuff)), "text.xml", nullptr, 0);
    if (doc)
        check_fields(doc);
    check(dump(readMessage(recvBuff)) == dump(doc));
    user[0] = channel[0] = '\0';
    calls = 0;
    try {
        Db db; // the doubles never open it
        parseThis(db, view, recvBuff);
    } catch (const ProcessEnd& r) {
        check(r.status == -1);
    }
    viewing_state_sound();
    return 0;
}
