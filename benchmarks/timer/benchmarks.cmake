# The Linux timer thread's lateness beside a bare clock_nanosleep loop.
# --wrap lets the program see the deadline each sleep asks for, in the
# timer thread's code as in its own.
if(NOT WIN32)
  add_executable(timer_benchmark ${CMAKE_CURRENT_LIST_DIR}/timer_benchmark.cpp)
  target_link_libraries(timer_benchmark PRIVATE kv318_core kv318_platform Threads::Threads)
  target_link_options(timer_benchmark PRIVATE -Wl,--wrap=clock_nanosleep)
  target_link_libraries(timer_benchmark PRIVATE kv318_warnings)
endif()
