# The test panel: its core against fakes everywhere, its Qt window on Linux.
kv318_add_test(panel_core_test
  SOURCES panel/format_test.cpp panel/panel_test.cpp panel/binding_test.cpp
  LIBS kv318_panel_core)

if(TARGET kv318_panel_qt)
  find_package(Qt6 REQUIRED COMPONENTS Test)
  add_executable(panel_qt_test panel/form1_test.cpp)
  set_target_properties(panel_qt_test PROPERTIES AUTOMOC ON)
  target_include_directories(panel_qt_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/panel)
  target_compile_definitions(panel_qt_test PRIVATE KV318_PANEL_SHOT_DIR="${CMAKE_CURRENT_BINARY_DIR}")
  target_link_libraries(panel_qt_test PRIVATE kv318_panel_qt Qt6::Test)
  target_link_libraries(panel_qt_test PRIVATE kv318_warnings)
  add_test(NAME panel_qt_test COMMAND panel_qt_test)
  set_tests_properties(panel_qt_test PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
endif()

# The panel on kv318-sim.
if(TARGET kv318_panel_qt)
  add_executable(panel_end_to_end_test panel/end_to_end_test.cpp)
  set_target_properties(panel_end_to_end_test PROPERTIES AUTOMOC ON)
  target_include_directories(panel_end_to_end_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/panel)
  target_compile_definitions(panel_end_to_end_test PRIVATE
    KV318_PANEL_SHOT_DIR="${CMAKE_CURRENT_BINARY_DIR}"
    KV318_LIBRARY_DIR="$<TARGET_FILE_DIR:KV318>")
  # kv318_backend_abi: the range of the handles of served boards.
  target_link_libraries(panel_end_to_end_test PRIVATE kv318_panel_qt kv318_qt_simulator Qt6::Test kv318_backend_abi)
  add_dependencies(panel_end_to_end_test KV318)
  target_link_libraries(panel_end_to_end_test PRIVATE kv318_warnings)
  add_test(NAME panel_end_to_end_test COMMAND panel_end_to_end_test)
  set_tests_properties(panel_end_to_end_test PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen" TIMEOUT 300)
  if(TARGET kv318-server AND TARGET KV318Remote)
    # The same panel on a board kv318-server serves: the library reaches
    # it through the server with no setting.
    add_dependencies(panel_end_to_end_test KV318Remote kv318-server)
    add_test(NAME panel_served_end_to_end_test COMMAND panel_end_to_end_test)
    set(env "QT_QPA_PLATFORM=offscreen" "KV318_PANEL_SERVER=$<TARGET_FILE:kv318-server>")
    if(KV318_ZMQ_TEST_ENVIRONMENT)
      # The served boards' client speaks ZeroMQ inside the test's process.
      list(APPEND env "${KV318_ZMQ_TEST_ENVIRONMENT}")
    endif()
    set_tests_properties(panel_served_end_to_end_test PROPERTIES ENVIRONMENT "${env}" TIMEOUT 300)
  endif()
endif()

# The simulator fixture the panel's and the scope's Qt tests share.
if(TARGET kv318_qt_simulator)
  find_package(Qt6 REQUIRED COMPONENTS Test)
  add_executable(qt_simulator_test panel/qt_simulator_test.cpp)
  set_target_properties(qt_simulator_test PROPERTIES AUTOMOC ON)
  target_link_libraries(qt_simulator_test PRIVATE kv318_qt_simulator Qt6::Test kv318_warnings)
  add_test(NAME qt_simulator_test COMMAND qt_simulator_test)
  set_tests_properties(qt_simulator_test PROPERTIES TIMEOUT 120)
endif()
