# CLI11, the command-line parser (Debian libcli11-dev, header-only), as the
# interface target kv318_cli11.  Its headers sit in /usr/include beside the
# host's C library, which a cross build must never see, so only the CLI
# directory is linked into the build tree and that is what gets included.
if(TARGET kv318_cli11)
  return()
endif()
find_path(KV318_CLI11_DIR CLI/CLI.hpp PATHS /usr/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT KV318_CLI11_DIR)
  message(FATAL_ERROR "CLI11 not found: install libcli11-dev (tools/setup.sh)")
endif()
set(KV318_CLI11_INCLUDE ${CMAKE_BINARY_DIR}/cli11-include)
file(MAKE_DIRECTORY ${KV318_CLI11_INCLUDE})
file(CREATE_LINK ${KV318_CLI11_DIR}/CLI ${KV318_CLI11_INCLUDE}/CLI SYMBOLIC)
add_library(kv318_cli11 INTERFACE)
# SYSTEM: the library's own warnings are not ours to fix.
target_include_directories(kv318_cli11 SYSTEM INTERFACE ${KV318_CLI11_INCLUDE})
