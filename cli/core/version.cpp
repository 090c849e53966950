#include "version.h"

namespace kv318::cli {

const char* tool_version() { return KV318_PROJECT_VERSION; }

}  // namespace kv318::cli
