# ZeroMQ (libzmq's C API), as the interface target kv318_zmq, and
# KV318_HAVE_ZMQ saying whether it was found.  Linux: Debian's libzmq3-dev
# through pkg-config.
if(TARGET kv318_zmq)
  return()
endif()
set(KV318_HAVE_ZMQ OFF)
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(KV318_LIBZMQ REQUIRED IMPORTED_TARGET libzmq)
  add_library(kv318_zmq INTERFACE)
  target_link_libraries(kv318_zmq INTERFACE PkgConfig::KV318_LIBZMQ)
  set(KV318_HAVE_ZMQ ON)
endif()
