// kv318-tango: the Tango device server of KV318 boards.  Tango reads its
// own command line (the instance, -nodb, -dlist, -ORBendPoint, -v); this
// program answers --help and --version before it, as every tool of the
// project does.
#include <tango.h>

#include <cstdio>
#include <cstring>

#include "kv318_class.h"

namespace {

// The usage text, which the man page is made from too.
const char* const kUsage =
    "Usage: kv318-tango INSTANCE [-v[LEVEL]] [-nodb -dlist DEVICE[,DEVICE...]] [-ORBendPoint giop:tcp:HOST:PORT]\n"
    "\n"
    "The Tango device server of KV318 boards: one device of class KV318 per board, reached\n"
    "through libKV318 (a board of this machine, or board N of a kv318-server named by the\n"
    "device's ServerURL property).\n"
    "\n"
    "With a Tango database (TANGO_HOST), the devices of the instance are those registered with\n"
    "  tango_admin --add-server kv318-tango/INSTANCE KV318 lab/kv318/0\n"
    "Without one, -nodb -dlist names them, and -ORBendPoint fixes the port clients use, as in\n"
    "  kv318-tango bench -nodb -dlist lab/kv318/0 -ORBendPoint giop:tcp::10000\n"
    "  (reached as tango://HOST:10000/lab/kv318/0#dbase=no; the board is the name's last member)\n"
    "\n"
    "Options:\n"
    "  --help     print this help and exit\n"
    "  --version  print the version and exit\n"
    "\n"
    "docs/tango.md lists the properties, attributes, commands and states.\n";

}  // namespace

// Tango asks the server for its classes.
void Tango::DServer::class_factory() { add_class(kv318::tango_device::KV318Class::init("KV318")); }

int main(int argc, char* argv[]) {
    if (argc >= 2 && std::strcmp(argv[1], "--help") == 0) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (argc >= 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("kv318-tango %s\n", KV318_PROJECT_VERSION);
        return 0;
    }
    try {
        Tango::Util* tg = Tango::Util::init(argc, argv);
        tg->server_init(false);
        std::printf("Ready to accept request\n");
        std::fflush(stdout);
        tg->server_run();
    } catch (std::bad_alloc&) {
        std::fprintf(stderr, "kv318-tango: out of memory\n");
        return 1;
    } catch (CORBA::Exception& e) {
        Tango::Except::print_exception(e);
        return 1;
    }
    Tango::Util::instance()->server_cleanup();
    return 0;
}
