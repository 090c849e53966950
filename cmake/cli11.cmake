# CLI11, the command-line parser (Debian libcli11-dev, header-only), as the
# interface target kv318_cli11.
#
# Debian ships it as a CMake package, CLI11::CLI11.  Being header-only, the
# host's package serves the cross builds as well, so it is looked for
# outside the cross toolchain's find root.  Its headers sit in the host's
# include directory beside the host's C library, which a cross build must
# never see: there only the CLI directory is linked into the build tree and
# that is what gets included.
if(TARGET kv318_cli11)
  return()
endif()
find_package(CLI11 CONFIG NO_CMAKE_FIND_ROOT_PATH)
if(NOT CLI11_FOUND)
  message(FATAL_ERROR "CLI11 not found: install libcli11-dev (tools/setup.sh)")
endif()
add_library(kv318_cli11 INTERFACE)
if(NOT CMAKE_CROSSCOMPILING)
  # An imported target's headers are system headers: the library's own
  # warnings are not ours to fix.
  target_link_libraries(kv318_cli11 INTERFACE CLI11::CLI11)
  return()
endif()
get_target_property(kv318_cli11_package_include CLI11::CLI11 INTERFACE_INCLUDE_DIRECTORIES)
find_path(KV318_CLI11_DIR CLI/CLI.hpp PATHS ${kv318_cli11_package_include} NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT KV318_CLI11_DIR)
  message(FATAL_ERROR "CLI11's package names ${kv318_cli11_package_include}, which holds no CLI/CLI.hpp")
endif()
set(KV318_CLI11_INCLUDE ${CMAKE_BINARY_DIR}/cli11-include)
file(MAKE_DIRECTORY ${KV318_CLI11_INCLUDE})
file(CREATE_LINK ${KV318_CLI11_DIR}/CLI ${KV318_CLI11_INCLUDE}/CLI SYMBOLIC)
# SYSTEM: the library's own warnings are not ours to fix.
target_include_directories(kv318_cli11 SYSTEM INTERFACE ${KV318_CLI11_INCLUDE})
