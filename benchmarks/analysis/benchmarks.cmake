# The scope's per-frame work: trigger search plus decimation to screen
# columns, beside a plain min/max loop over the same samples.
add_executable(analysis_benchmark ${CMAKE_CURRENT_LIST_DIR}/trigger_benchmark.cpp)
target_link_libraries(analysis_benchmark PRIVATE kv318_analysis benchmark::benchmark)
target_link_libraries(analysis_benchmark PRIVATE kv318_warnings)
