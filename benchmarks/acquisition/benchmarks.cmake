# The acquisition hot paths: KV318_Read's conversion and the drain's ring
# copy, each beside the plain loop or memcpy it is measured against.
add_executable(acquisition_benchmark ${CMAKE_CURRENT_LIST_DIR}/ring_benchmark.cpp)
target_link_libraries(acquisition_benchmark PRIVATE kv318_core kv318_platform benchmark::benchmark Threads::Threads)
target_link_libraries(acquisition_benchmark PRIVATE kv318_warnings)
