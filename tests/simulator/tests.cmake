# The board simulator: the model on a hand-driven clock, the request loop,
# kv318-sim's command line, and the library talking to the simulator end to
# end.  Not built for Windows until the simulator has its pipe transport.
if(WIN32 OR NOT TARGET kv318_sim_model)
  return()
endif()

kv318_add_test(simulator_model_test
  SOURCES simulator/model_converter_test.cpp simulator/model_board_test.cpp
  LIBS kv318_sim_model)
