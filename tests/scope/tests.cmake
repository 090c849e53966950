# kv318-scope: its core against a scripted board, its command line, and
# (Linux) the Qt window on kv318-sim.
kv318_add_test(scope_core_test
  SOURCES scope/worker_test.cpp scope/view_test.cpp
  LIBS kv318_scope_cli)
target_include_directories(scope_core_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/cli)
