// kv318: the bench test panel.  Opens board 0 through libKV318.so.1, which it
// loads at the first library call from its own directory or the library
// path.
#include <QApplication>

#include "form1.h"
#include "lazy_binding.h"
#include "library_loader.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    kv318::panel::LibraryLoader loader({QCoreApplication::applicationDirPath().toStdString()});
    // The SONAME, which the run-time package installs; the bare libKV318.so
    // link comes only with the development files.
    kv318::panel::LazyBinding lib(loader, "libKV318.so.1");
    kv318::panel::SteadyClock clock;

    kv318::qt::Form1 form(lib, clock);
    form.load();
    // A missing library has been reported by now; the event loop never ran.
    if (form.exitRequested()) return form.exitCode();
    form.show();
    return app.exec();
}
