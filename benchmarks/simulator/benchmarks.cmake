# The fastest sustained stream through library, driver channel and simulator.
add_executable(simulator_stream_benchmark ${CMAKE_CURRENT_LIST_DIR}/stream_benchmark.cpp)
target_include_directories(simulator_stream_benchmark PRIVATE ${CMAKE_CURRENT_LIST_DIR}/.. ${CMAKE_SOURCE_DIR}/tests/support)
target_link_libraries(simulator_stream_benchmark PRIVATE kv318_core kv318_platform kv318_sim_linux
                      kv318_bench_board benchmark::benchmark Threads::Threads)
target_link_libraries(simulator_stream_benchmark PRIVATE kv318_warnings)

# Making the simulated analog input, per sample and signal.
add_executable(simulator_signal_benchmark ${CMAKE_CURRENT_LIST_DIR}/signal_benchmark.cpp)
target_link_libraries(simulator_signal_benchmark PRIVATE kv318_sim_model benchmark::benchmark)
target_link_libraries(simulator_signal_benchmark PRIVATE kv318_warnings)
