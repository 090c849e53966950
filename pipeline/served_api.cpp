#include "served_api.h"

#include <cstdio>
#include <map>
#include <mutex>

namespace kv318::pipeline {

namespace {

struct Chosen {
    std::mutex lock;  // guards everything below
    ServedChoice choice;
    // The board number of each handle open_served gave, for the words of a
    // follower that finds no stream.
    std::map<std::int32_t, std::int32_t> boards;
    // A follower's start that found no stream, by handle: the words its
    // status carries until the handle's next start.
    std::map<std::int32_t, std::string> noStream;
};

Chosen& chosen() {
    static Chosen c;
    return c;
}

ServedChoice choice() {
    Chosen& c = chosen();
    const std::lock_guard<std::mutex> hold(c.lock);
    return c.choice;
}

std::int32_t KV318_CALL open_served(std::int32_t board) {
    const BoardApi& lib = library_api();
    const ServedChoice c = choice();
    // A server that left one open unanswered is not asked again: a program
    // that probes its boards one by one would wait out its silence each time.
    RemoteStatus last;
    if (served_status(lib, -1, &last) && last.gone && last.url == c.url) return -1;
    const std::int32_t h = lib.openServed(c.url.c_str(), board, c.keys.empty() ? nullptr : c.keys.c_str());
    if (h == -1) return -1;
    // The command line took both in the ranges the library takes.
    if (lib.servedBoard(h, static_cast<std::int32_t>(c.clockHz), static_cast<std::int32_t>(c.fifoBytes)) != 0) {
        lib.close(h);
        return -1;
    }
    Chosen& all = chosen();
    const std::lock_guard<std::mutex> hold(all.lock);
    all.boards[h] = board;
    all.noStream.erase(h);
    return h;
}

std::int32_t KV318_CALL close_served(std::int32_t handle) {
    {
        Chosen& all = chosen();
        const std::lock_guard<std::mutex> hold(all.lock);
        all.boards.erase(handle);
        all.noStream.erase(handle);
    }
    return library_api().close(handle);
}

// A tool's follower joins a stream that runs: where KV318_Follow found none
// and waits for the next, the tool says so and leaves, as a user who asked
// to follow a running stream expects, instead of waiting on its own.
std::int32_t follow(std::int32_t handle) {
    const BoardApi& lib = library_api();
    Chosen& all = chosen();
    {
        const std::lock_guard<std::mutex> hold(all.lock);
        all.noStream.erase(handle);
    }
    if (lib.follow(handle) != 0) return -1;
    RemoteStatus s;
    if (!served_status(lib, handle, &s) || !s.following || s.stream != 0) return 0;
    lib.stopAd(handle);
    const std::lock_guard<std::mutex> hold(all.lock);
    const auto b = all.boards.find(handle);
    all.noStream[handle] = no_stream_text(b != all.boards.end() ? std::to_string(b->second) : std::string("?"), s.url);
    return -1;
}

// KV318_ServedStatus, with a follower's "no stream runs" as its failure.
std::int32_t KV318_CALL served_status_entry(std::int32_t handle, KV318_SERVED_STATUS* status) {
    const std::int32_t r = library_api().servedStatus(handle, status);
    if (r != 0 || status->size < sizeof *status) return r;
    Chosen& all = chosen();
    const std::lock_guard<std::mutex> hold(all.lock);
    const auto it = all.noStream.find(handle);
    if (it != all.noStream.end()) std::snprintf(status->failure, sizeof status->failure, "%s", it->second.c_str());
    return r;
}

std::int32_t KV318_CALL start(std::int32_t handle, std::int32_t f1, std::int32_t f2, std::int32_t f3, std::int32_t f4,
                              std::int32_t divider) {
    const BoardApi& lib = library_api();
    return choice().follow ? follow(handle) : lib.ad(handle, f1, f2, f3, f4, divider);
}

std::int32_t KV318_CALL start_polled(std::int32_t handle, std::int32_t f1, std::int32_t f2, std::int32_t f3,
                                     std::int32_t f4, std::int32_t divider) {
    const BoardApi& lib = library_api();
    return choice().follow ? follow(handle) : lib.mAd(handle, f1, f2, f3, f4, divider);
}

}  // namespace

const BoardApi& served_api(const ServedChoice& c) {
    static const BoardApi api = [] {
        BoardApi a = library_api();
        a.open = open_served;
        a.close = close_served;
        a.servedStatus = served_status_entry;
        a.ad = start;
        a.mAd = start_polled;
        return a;
    }();
    Chosen& all = chosen();
    const std::lock_guard<std::mutex> hold(all.lock);
    all.choice = c;
    return api;
}

std::string no_stream_text(const std::string& board, const std::string& url) {
    return "no stream runs on board " + board + " of kv318-server at " + url + ", so there is none to follow";
}

std::string served_open_hint(int) {
    RemoteStatus last;
    if (!served_status(library_api(), -1, &last) || last.failure.empty()) return {};
    return ": " + last.failure;
}

}  // namespace kv318::pipeline
