// How each export reaches its board: through the local board's table or
// through the served boards' table (backend_ops.h), chosen by the handle's
// value.  The served table comes from a library of its own, loaded the
// first time a server is named; the loading, like every OS service, sits
// behind a seam (BackendService) that the platform implements and tests
// replace.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "backend_ops.h"
#include "handle.h"

namespace kv318 {

// The operating-system services the choice of table needs.
class BackendService {
public:
    virtual ~BackendService() = default;

    // Loads the served boards' library and returns its entry's table, or
    // null with the reason in `why` (`size` bytes, the caller's: which
    // library was looked for where, and what the system said).  The table
    // is checked by the caller, not here.  The library is never unloaded.
    // Any thread; the caller makes sure two calls never run at once.
    virtual const KV318_BACKEND_OPS* load_served(char* why, std::size_t size) = 0;

    // The environment variable `name` into *value; false (and *value
    // emptied) when it is not set.  Any thread.
    virtual bool environment(const char* name, std::string* value) = 0;
};

// The service in use: the platform's unless a test installed another.
BackendService& backend_service();

// Installs `service` (the caller's, kept alive while installed); nullptr
// restores the platform's.  Also forgets a served table loaded before, so
// the next served open loads again through the new service.  For tests:
// call it while no other thread is inside the library.
void set_backend_service(BackendService* service);

// The build's platform implementation, defined by one file under platform/.
BackendService& platform_backend_service();

// The local board's table: the OS handles of the boards this process opens.
// Its open takes the board number and ignores the URL and keys; it has no
// follow, status or last_error entries (they are null).
const KV318_BACKEND_OPS& local_backend();

// The way one export reaches the board of `handle`.
struct Route {
    const KV318_BACKEND_OPS* ops = nullptr;  // null: a served handle while no served table is loaded
    std::int32_t handle = kInvalidHandle;    // the handle in the table's own numbering
    bool served = false;
};

// Served handles are KV318_SERVED_HANDLE_BASE plus the served table's own
// number; every other value, -1 included, is the local board's.  Any thread.
Route route(Handle handle);

// The served table, loaded the first time; null, with the reason in `why`
// (`size` bytes, the caller's), when it cannot be loaded or is not one this
// library can use (too small, another ABI).  A failed load is tried again
// by the next call, so a library installed later is found.  Any thread.
const KV318_BACKEND_OPS* served_backend(char* why, std::size_t size);

// The served table if one was loaded, without loading it; else null.
const KV318_BACKEND_OPS* loaded_served_backend();

// The handle a program gets for the served table's handle `h`, or -1 when
// `h` is outside the range the table may give out.
Handle served_handle(std::int32_t h);

// After a served table's entry ran for export `call`: its failure text, if
// it has one, becomes the calling thread's, after "`call`: ".
void take_served_failure(const char* call, const KV318_BACKEND_OPS& ops);

}  // namespace kv318
