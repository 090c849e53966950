// Who this process is, for a kv318-server client's id ("PROGRAM.PID@HOST"):
// the calls of the OS, one file per OS (platform/linux, platform/win32).
#pragma once

#include <cstdint>
#include <string>

namespace kv318::remote {

// This process's id.  Any thread.
std::uint64_t this_process_id();
// The machine's name, or "localhost" when it has none to give.  Any thread.
std::string this_host_name();
// The name of the program this process runs, without its directory (and
// on Windows without ".exe"), in UTF-8; "program" when the OS does not
// say.  Any thread.
std::string this_program_name();

}  // namespace kv318::remote
