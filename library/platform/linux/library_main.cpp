// libKV318.so's unload teardown, the twin of KV318.dll's DllMain.  A program
// that unloads the library (dlclose) or exits while a stream runs must not
// leave a timer thread calling into code that is about to go, nor a board
// lock held by an acquisition nobody can stop any more.
#include "acquisition.h"
#include "timer_service.h"
#include "timer_thread.h"

namespace kv318 {
namespace {

struct LibraryTeardown {
    // Makes the timer service first, so that it is destroyed after this
    // guard: the guard's destructor still needs it.
    LibraryTeardown() { (void)platform_timer_service(); }
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
