# How every program reads a typed number (pipeline/numbers.h), on its own.
kv318_add_test(pipeline_numbers_test SOURCES pipeline/numbers_test.cpp LIBS kv318_numbers)
