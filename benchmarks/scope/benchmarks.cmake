# The whole scope on kv318-sim at the fastest stream, Qt offscreen.
if(TARGET kv318-scope)
  add_executable(scope_benchmark ${CMAKE_CURRENT_LIST_DIR}/scope_benchmark.cpp)
  target_link_libraries(scope_benchmark PRIVATE benchmark::benchmark)
  target_compile_definitions(scope_benchmark PRIVATE KV318_SCOPE_EXE="$<TARGET_FILE:kv318-scope>"
                                                     KV318_SIM_EXE="$<TARGET_FILE:kv318-sim>")
  add_dependencies(scope_benchmark kv318-scope kv318-sim)
  target_link_libraries(scope_benchmark PRIVATE kv318_bench_board kv318_warnings)
endif()
