#include "process_identity.h"

#include <errno.h>
#include <unistd.h>

namespace kv318::remote {

std::uint64_t this_process_id() { return static_cast<std::uint64_t>(getpid()); }

std::string this_host_name() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
    return name;
}

std::string this_program_name() {
    // glibc's copy of argv[0]'s last part: /proc/self/comm would cut it at
    // 15 bytes.
    const char* name = program_invocation_short_name;
    return name != nullptr && name[0] != '\0' ? std::string(name) : std::string("program");
}

}  // namespace kv318::remote
