# The board simulator: the model on a hand-driven clock, the request loop,
# kv318-sim's command line, and the library talking to the simulator end to
# end.  The model and the request loop are portable and run everywhere; the
# rest goes through the Unix-socket transport (the Windows transport has its
# own suites in simulator_win32/).
kv318_add_test(simulator_model_test
  SOURCES simulator/model_converter_test.cpp simulator/model_signal_test.cpp simulator/model_board_test.cpp
  LIBS kv318_sim_model)

kv318_add_test(simulator_session_test
  SOURCES simulator/session_test.cpp
  LIBS kv318_sim_server)

# The command line of every transport, the named pipes' included: parsing
# is portable code, so it runs here and under Wine alike.
kv318_add_test(simulator_options_test
  SOURCES simulator/options_test.cpp
  LIBS kv318_sim_server)

if(WIN32)
  return()
endif()

kv318_add_test(simulator_end_to_end_test
  SOURCES simulator/end_to_end_test.cpp
  LIBS kv318_sim_linux)

# Hundreds of misbehaving connections at once, beside a well-behaved one.
kv318_add_test(simulator_hostile_clients_test
  SOURCES simulator/hostile_clients_test.cpp
  LIBS kv318_sim_linux)
set_tests_properties(simulator_hostile_clients_test PROPERTIES TIMEOUT 240)

kv318_add_test(simulator_cli_test SOURCES simulator/cli_test.cpp)
target_compile_definitions(simulator_cli_test PRIVATE KV318_SIM_EXE="$<TARGET_FILE:kv318-sim>")
add_dependencies(simulator_cli_test kv318-sim)
if(KV318_SANITIZE)
  # The sanitizers' runtime checks memory through descriptors of its own,
  # so a sanitized kv318-sim cannot be run out of descriptors.
  target_compile_definitions(simulator_cli_test PRIVATE KV318_SANITIZED_SIM)
endif()

# Streaming and polled analog input through the simulator.
kv318_add_test(simulator_stream_test
  SOURCES simulator/stream_test.cpp
  LIBS kv318_sim_linux)
set_tests_properties(simulator_stream_test PROPERTIES TIMEOUT 240)
