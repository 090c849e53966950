// kv318.exe: the bench test panel on Windows.  Opens board 0 through
// KV318.dll, which it loads at the first library call from its own
// directory or the system's search path.
#include <windows.h>

#include "form1.h"
#include "lazy_binding.h"
#include "library_loader.h"
#include "text.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    // Sizes in twips are turned into pixels at the screen's real dpi, so the
    // system must not stretch the window a second time.
    SetProcessDPIAware();

    kv318::panel::LibraryLoader loader;
    kv318::panel::LazyBinding lib(loader, "KV318");
    kv318::panel::SteadyClock clock;

    kv318::win32::Form1 form(instance, lib, clock);
    if (!form.create()) {
        MessageBoxW(nullptr, L"Cannot create the window of the test panel.", kv318::win32::application_name().c_str(),
                    MB_OK);
        return 1;
    }
    form.load();
    // A missing library has been reported by now; the window was never shown.
    if (form.exitRequested()) return form.exitCode();
    form.show(showCommand);
    return form.run();
}
