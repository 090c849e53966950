#include "served_api.h"

#include <mutex>

namespace kv318::pipeline {

namespace {

struct Chosen {
    std::mutex lock;  // guards `choice`
    ServedChoice choice;
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
    return h;
}

std::int32_t KV318_CALL start(std::int32_t handle, std::int32_t f1, std::int32_t f2, std::int32_t f3, std::int32_t f4,
                              std::int32_t divider) {
    const BoardApi& lib = library_api();
    return choice().follow ? lib.follow(handle) : lib.ad(handle, f1, f2, f3, f4, divider);
}

std::int32_t KV318_CALL start_polled(std::int32_t handle, std::int32_t f1, std::int32_t f2, std::int32_t f3,
                                     std::int32_t f4, std::int32_t divider) {
    const BoardApi& lib = library_api();
    return choice().follow ? lib.follow(handle) : lib.mAd(handle, f1, f2, f3, f4, divider);
}

}  // namespace

const BoardApi& served_api(const ServedChoice& c) {
    static const BoardApi api = [] {
        BoardApi a = library_api();
        a.open = open_served;
        a.ad = start;
        a.mAd = start_polled;
        return a;
    }();
    Chosen& all = chosen();
    const std::lock_guard<std::mutex> hold(all.lock);
    all.choice = c;
    return api;
}

std::string served_open_hint(int) {
    RemoteStatus last;
    if (!served_status(library_api(), -1, &last) || last.failure.empty()) return {};
    return ": " + last.failure;
}

}  // namespace kv318::pipeline
