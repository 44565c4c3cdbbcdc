// What the page is answered: its files, the household's pictures, JSON,
// and the event streams that carry the household's state to each phone.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include <microhttpd.h>

#include "household.hpp"
#include "web_watch.hpp"

namespace web {

struct ResponseFree {
    void operator()(MHD_Response* r) const { MHD_destroy_response(r); }
};
using Response = std::unique_ptr<MHD_Response, ResponseFree>;

// Shared by the serving thread (the listener) and the streams' threads.
struct Shared {
    std::mutex mu;
    std::condition_variable changed;
    bool stopping = false;
    std::string event; // "event: state" text of the current state
    std::uint64_t version = 0;
    std::size_t streams = 0;
};

// An open event stream: the state version it has written, and what it has
// still to write of the last text.
struct Stream {
    Stream(Shared& s, int socket) : shared(s), fd(socket) {}
    Shared& shared;
    int fd; // the connection's socket
    std::uint64_t sent = 0;
    std::string pending;
    std::size_t offset = 0;
};

// On the serving thread: never waits for a client, only hands the new state
// to the streams, each of which writes it on its own thread.
void publish(Shared& shared, const Snapshot& now);
// GET /api/events: a stream of its own, at most STREAMS_MAX at once.
MHD_Result events(MHD_Connection* c, Shared& shared);
// The household's state as the page reads it.
std::string state_json(const Snapshot& s);

std::string lower(std::string s);
const char* header(MHD_Connection* c, const char* name);
std::string peer_address(MHD_Connection* c);
WebWatch::Conn* watched(MHD_Connection* c);
// Every answer goes out here, with the headers that keep a browser from
// running anything but the page's own files.
MHD_Result answer(MHD_Connection* c, unsigned status, Response r, const char* type = nullptr);
MHD_Result text(MHD_Connection* c, unsigned status, const std::string& body,
                const char* type = "text/plain; charset=utf-8");
MHD_Result json_error(MHD_Connection* c, unsigned status, const std::string& why);
const char* type_of(const std::string& name);
// A regular file of the working directory (with O_NOFOLLOW in `flags`, not
// through a link); with `found`, false there when there is none.
MHD_Result file(MHD_Connection* c, const std::string& path, bool* found = nullptr, int flags = 0);
// A user's picture from pictures/ (black.jpg for anything else).
MHD_Result picture(MHD_Connection* c, const Snapshot& s, const std::string& name);

} // namespace web
