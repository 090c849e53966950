# kv318_zmq: ZeroMQ for every build, as one interface target.  A target
# that links it gets libzmq's C API (zmq.h) and cppzmq's header-only C++
# binding (zmq.hpp).  KV318_HAVE_ZMQ says whether it was found; what needs
# ZeroMQ (kv318-server, its tests) is built only when it is ON.
#
# Linux takes Debian's libzmq3-dev (pkg-config libzmq) and cppzmq-dev.
# Debian has no mingw build of libzmq, so the Windows builds link a static
# libzmq that tools/zeromq-mingw.sh builds from Debian's own source package
# into a cache outside the build tree (docs/testing.md); the first
# configure of each Windows width builds it, later ones find it there.
# cppzmq is the same header on every platform: the Windows builds take
# Debian's copy of it, which compiles there unchanged.

set(KV318_HAVE_ZMQ OFF)
add_library(kv318_zmq INTERFACE)

find_path(KV318_CPPZMQ_INCLUDE_DIR zmq.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH
          DOC "Folder holding cppzmq's zmq.hpp (Debian's cppzmq-dev)")

if(WIN32)
  # The compiler names its own triplet, and with it the cache folder.
  execute_process(COMMAND ${CMAKE_C_COMPILER} -dumpmachine OUTPUT_VARIABLE kv318_zmq_triplet
                  OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  message(STATUS "ZeroMQ for ${kv318_zmq_triplet}: tools/zeromq-mingw.sh (builds it once per machine)")
  execute_process(COMMAND ${PROJECT_SOURCE_DIR}/tools/zeromq-mingw.sh ${kv318_zmq_triplet}
                  OUTPUT_VARIABLE kv318_zmq_prefix OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE kv318_zmq_result)
  if(kv318_zmq_result EQUAL 0 AND EXISTS ${kv318_zmq_prefix}/lib/libzmq.a AND KV318_CPPZMQ_INCLUDE_DIR)
    # zmq.hpp comes alone into the build tree: the folder it sits in on
    # Linux holds the Linux C headers, which a Windows build must not see.
    configure_file(${KV318_CPPZMQ_INCLUDE_DIR}/zmq.hpp ${CMAKE_BINARY_DIR}/cppzmq/zmq.hpp COPYONLY)
    target_include_directories(kv318_zmq SYSTEM INTERFACE ${kv318_zmq_prefix}/include ${CMAKE_BINARY_DIR}/cppzmq)
    # The static libzmq wants ZMQ_STATIC in every user (zmq.h would
    # otherwise declare its functions dllimport), and the Win32 libraries
    # it calls: sockets, adapters, UUIDs and the system's random numbers.
    target_compile_definitions(kv318_zmq INTERFACE ZMQ_STATIC)
    target_link_libraries(kv318_zmq INTERFACE ${kv318_zmq_prefix}/lib/libzmq.a ws2_32 iphlpapi rpcrt4 advapi32)
    set(KV318_HAVE_ZMQ ON)
    message(STATUS "ZeroMQ: ${kv318_zmq_prefix}")
  elseif(NOT KV318_CPPZMQ_INCLUDE_DIR)
    message(WARNING "cppzmq's zmq.hpp is missing (install cppzmq-dev): building without ZeroMQ")
  else()
    message(WARNING "tools/zeromq-mingw.sh could not provide libzmq (see above): building without ZeroMQ")
  endif()
else()
  find_package(PkgConfig)
  if(PkgConfig_FOUND)
    pkg_check_modules(KV318_LIBZMQ IMPORTED_TARGET libzmq)
  endif()
  if(KV318_LIBZMQ_FOUND AND KV318_CPPZMQ_INCLUDE_DIR)
    target_link_libraries(kv318_zmq INTERFACE PkgConfig::KV318_LIBZMQ)
    target_include_directories(kv318_zmq SYSTEM INTERFACE ${KV318_CPPZMQ_INCLUDE_DIR})
    set(KV318_HAVE_ZMQ ON)
  else()
    message(WARNING "libzmq (libzmq3-dev) or cppzmq (cppzmq-dev) is missing: building without ZeroMQ")
  endif()
endif()

set(KV318_HAVE_ZMQ ${KV318_HAVE_ZMQ} CACHE BOOL "ZeroMQ was found (set by cmake/zeromq.cmake)" FORCE)

# What a test of a program that uses ZeroMQ adds to its environment
# (set_tests_properties(... ENVIRONMENT ...)).  Debian's libzmq is not built
# with ThreadSanitizer, which would take its internal message hand-offs for
# races; the suppressions say why and what they leave checked.
set(KV318_ZMQ_TEST_ENVIRONMENT "")
if(KV318_SANITIZE MATCHES "thread")
  set(KV318_ZMQ_TEST_ENVIRONMENT "TSAN_OPTIONS=suppressions=${CMAKE_CURRENT_LIST_DIR}/zeromq-tsan.supp")
endif()
