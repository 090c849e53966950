# kv318-scope: its core against a scripted board, its command line, and
# (Linux) the Qt window on kv318-sim.
kv318_add_test(scope_core_test
  SOURCES scope/worker_test.cpp scope/view_test.cpp scope/controller_test.cpp scope/fifo_test.cpp
    scope/status_text_test.cpp scope/recording_test.cpp scope/settings_test.cpp scope/replug_test.cpp
  LIBS kv318_scope_cli)
target_include_directories(scope_core_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/cli)
# --version must print the version the build was made as.
target_compile_definitions(scope_core_test PRIVATE KV318_PROJECT_VERSION="${PROJECT_VERSION}")

if(TARGET kv318_scope_qt)
  find_package(Qt6 REQUIRED COMPONENTS Test)
  add_executable(scope_qt_test scope/window_test.cpp)
  set_target_properties(scope_qt_test PROPERTIES AUTOMOC ON)
  target_compile_definitions(scope_qt_test PRIVATE
    KV318_SCOPE_SHOT_DIR="${CMAKE_CURRENT_BINARY_DIR}"
    KV318_SCOPE_PATH="$<TARGET_FILE:kv318-scope>")
  target_link_libraries(scope_qt_test PRIVATE kv318_scope_qt kv318_qt_simulator KV318_link Qt6::Test)
  # The header-only helpers of tests/support (reading a WAV file back).
  target_include_directories(scope_qt_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/support)
  add_dependencies(scope_qt_test kv318-scope)
  target_link_libraries(scope_qt_test PRIVATE kv318_warnings)
  add_test(NAME scope_qt_test COMMAND scope_qt_test)
  set_tests_properties(scope_qt_test PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen" TIMEOUT 300)
endif()
