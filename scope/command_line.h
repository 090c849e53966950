// kv318-scope's command line, read with CLI11 into ScopeSettings, so a
// user can script a view and the tests reach every setting.
#pragma once

#include "scope_settings.h"

namespace kv318::scope {

// Reads argv into *s.  Returns -1 when the scope is to run; otherwise the
// exit code after --help or --version (0) or a bad value (2), with the
// text or the reason already printed on `out` / `err`.
int parse_command_line(int argc, char** argv, ScopeSettings* s, std::FILE* out = stdout, std::FILE* err = stderr);

}  // namespace kv318::scope
