// libKV318.so's unload teardown, the twin of KV318.dll's DllMain.  A program
// that unloads the library (dlclose) or exits while a stream runs must not
// leave a timer thread calling into code that is about to go, nor a board
// lock held by an acquisition nobody can stop any more.
//
// A forked child inherits a copy of the library's state but none of its
// threads.  Whatever the parent streams is the parent's: the child's exit
// teardown, stop and close must neither wait for a drain that no thread of
// the child will end, nor unlock the parent's board (board_lock.cpp), nor
// send on the parent's connection (device_channel.cpp).
#include <pthread.h>

#include "acquisition.h"
#include "acquisition_common.h"
#include "timer_service.h"
#include "timer_thread.h"

namespace kv318 {
namespace {

// In the child, right after a fork.  The flags are the handshake of threads
// the child does not have: a drain or a read that was in progress at the
// fork never ends here, and no drain starts, so they all go to rest.
void forget_parents_drain() {
    AcqRunning.store(0);
    DrainBusy.store(0);
    ReaderBusy.store(0);
}

struct LibraryTeardown {
    // Makes the timer service first, so that it is destroyed after this
    // guard: the guard's destructor still needs it.
    LibraryTeardown() {
        (void)platform_timer_service();
        // Unregistered by the C library when the library is unloaded.
        (void)::pthread_atfork(nullptr, nullptr, &forget_parents_drain);
    }
    ~LibraryTeardown() {
        // First let a running stream end its drain and its timer, then join
        // whatever timer is left.
        EndStreamForUnload();
        linux_timer::cancel_all();
    }
};
LibraryTeardown g_teardown;

}  // namespace
}  // namespace kv318
