// libKV318-remote / KV318Remote.dll: the served boards' table over ZeroMQ,
// and the one function the library exports (backend_ops.h), which libKV318
// looks up after it loads the library.
#include "process_identity.h"
#include "client_keys.h"
#include "served_table.h"
#include "zmq_link.h"

#if defined(_WIN32)
#define KV318_BACKEND_EXPORT __declspec(dllexport)
#else
#define KV318_BACKEND_EXPORT __attribute__((visibility("default")))
#endif

namespace {

using namespace kv318::remote;

// This process as every client names itself, with the keys a tool would
// take for the same URL and key directory.
bool process_settings(const std::string&, const std::string& keys, RemoteSettings* settings, std::string* failure) {
    settings->program = this_program_name();
    settings->pid = this_process_id();
    settings->host = this_host_name();
    return choose_keys(keys, settings, failure);
}

std::unique_ptr<ServerLink> zmq_link(const RemoteSettings& settings, std::int32_t board, std::string* failure) {
    return make_zmq_link(settings.url, board, failure, settings);
}

}  // namespace

// Plain C linkage and the default calling convention, so the name is the
// same undecorated one on every platform and width.
extern "C" KV318_BACKEND_EXPORT const KV318_BACKEND_OPS* KV318_BackendOps(void) {
    static const KV318_BACKEND_OPS* const table = served_table({process_settings, zmq_link});
    return table;
}
