# The soak: libKV318 streaming kv318-sim's ramp (a separate process) for
# minutes, checking every sample and both processes' memory and threads.
if(NOT WIN32)
  add_executable(soak_benchmark ${CMAKE_CURRENT_LIST_DIR}/soak.cpp)
  target_link_libraries(soak_benchmark PRIVATE KV318_link)
  target_compile_definitions(soak_benchmark PRIVATE KV318_SIM_PATH="$<TARGET_FILE:kv318-sim>")
  add_dependencies(soak_benchmark kv318-sim)
  target_link_libraries(soak_benchmark PRIVATE kv318_bench_board kv318_analysis kv318_warnings)
endif()
