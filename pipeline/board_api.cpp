#include "board_api.h"

#include "board_lock.h"

namespace kv318::pipeline {

const BoardApi& library_api() {
    static const BoardApi api{
        KV318_OpenDevice, KV318_CloseDevice, KV318_Info,        KV318_inb,    KV318_outb,         KV318_AD,
        KV318_Read,       KV318_StopAD,      KV318_M_AD,        KV318_M_Read, KV318_M_StopAD,     KV318_DI,
        KV318_DO,         KV318_CRun,        KV318_CRead,       KV318_PRun,   KV318_PStop,        KV318_StreamStats,
        KV318_LastError,  KV318_OpenServed,  KV318_ServedBoard, KV318_Follow, KV318_ServedStatus,
    };
    return api;
}

std::string library_words(const BoardApi& api, const char* call) {
    if (api.lastError == nullptr) return {};
    char text[1024];
    if (api.lastError(text, static_cast<std::int32_t>(sizeof text)) <= 0) return {};
    const std::string words = text;
    std::string prefix = call;
    prefix += ": ";
    return words.rfind(prefix, 0) == 0 ? words.substr(prefix.size()) : std::string();
}

bool read_stream_stats(const BoardApi& api, std::int32_t handle, KV318_STREAM_STATS* stats) {
    *stats = KV318_STREAM_STATS{};
    stats->size = sizeof(KV318_STREAM_STATS);
    return api.streamStats != nullptr && api.streamStats(handle, stats) == 0;
}

bool served_status(const BoardApi& api, std::int32_t handle, RemoteStatus* status) {
    *status = RemoteStatus{};
    if (api.servedStatus == nullptr) return false;
    KV318_SERVED_STATUS s{};
    s.size = sizeof s;
    if (api.servedStatus(handle, &s) != 0) return false;
    status->url = s.url;
    status->failure = s.failure;
    status->controller = s.controller;
    status->following = (s.flags & KV318_SERVED_FOLLOWING) != 0;
    status->controlling = (s.flags & KV318_SERVED_CONTROLLING) != 0;
    status->busy = (s.flags & KV318_SERVED_BUSY) != 0;
    status->gone = (s.flags & KV318_SERVED_GONE) != 0;
    status->disconnected = (s.flags & KV318_SERVED_DISCONNECTED) != 0;
    status->ended = (s.flags & KV318_SERVED_ENDED) != 0;
    status->stream = s.stream;
    status->divider = s.divider;
    status->clockHz = s.clock_hz;
    status->nextIndex = s.next_index;
    status->missed = s.missed;
    return true;
}

bool board_lock_held(std::int32_t board, std::uint32_t* pid) {
    const BoardLockProbe probe = probe_board_lock(board);
    *pid = probe.pid;
    // A lock file the library will not use refuses every start as surely
    // as a holder does, and the user must hear which file it is.
    return probe.held || !board_lock_file_problem(board).empty();
}

bool board_held_elsewhere(std::int32_t board, std::uint32_t* pid) {
    const BoardLockProbe probe = probe_board_lock(board);
    *pid = probe.pid;
    return probe.held;
}

std::string board_holder_text(std::int32_t board, std::uint32_t pid) {
    std::string text = "board " + std::to_string(board) + " is streaming in another process";
    return pid != 0 ? text + " (pid " + std::to_string(pid) + ")" : text;
}

std::string board_busy_text(std::int32_t board, std::uint32_t pid) {
    if (pid == 0) {
        const std::string problem = board_lock_file_problem(board);
        if (!problem.empty()) return "board " + std::to_string(board) + " cannot be started: " + problem;
    }
    return board_holder_text(board, pid);
}

}  // namespace kv318::pipeline
