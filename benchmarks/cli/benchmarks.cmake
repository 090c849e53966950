# kv318-cli writing a stream to a file, beside the library's own stream,
# against one in-process simulated board.
add_executable(cli_stream_benchmark ${CMAKE_CURRENT_LIST_DIR}/cli_stream_benchmark.cpp)
target_include_directories(cli_stream_benchmark PRIVATE ${CMAKE_CURRENT_LIST_DIR}/.. ${CMAKE_SOURCE_DIR}/tests/support)
# kv318_cli_core for the table of exports and the FIFO verdict the tools give.
target_link_libraries(cli_stream_benchmark PRIVATE KV318_link kv318_sim_linux kv318_cli_core benchmark::benchmark
  Threads::Threads)
target_compile_definitions(cli_stream_benchmark PRIVATE KV318_CLI_EXE="$<TARGET_FILE:kv318-cli>")
add_dependencies(cli_stream_benchmark kv318-cli)
target_link_libraries(cli_stream_benchmark PRIVATE kv318_bench_board kv318_warnings)
# HDF5's C API reads the HDF5 row's file back.
find_package(HDF5 REQUIRED COMPONENTS C)
target_link_libraries(cli_stream_benchmark PRIVATE hdf5::hdf5)
