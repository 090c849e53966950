// The tool's version: the CMake project's, given to the build as
// KV318_PROJECT_VERSION.
#pragma once

namespace kv318::cli {

const char* tool_version();

}  // namespace kv318::cli
