# The sample -> code -> volts vectors (vectors/sample_units.csv), checked
# against every C++ reader of samples.  The table is compiled into the test,
# so it runs the same under Wine, where a build-tree path may not resolve.
set(kv318_vectors_csv ${CMAKE_CURRENT_SOURCE_DIR}/vectors/sample_units.csv)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${kv318_vectors_csv})
file(READ ${kv318_vectors_csv} KV318_SAMPLE_UNITS_CSV)
file(CONFIGURE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/vectors/sample_units_csv.inc
  CONTENT "R\"csv(@KV318_SAMPLE_UNITS_CSV@)csv\"\n" @ONLY)

kv318_add_test(sample_units_test SOURCES vectors/sample_units_test.cpp
  LIBS kv318_units kv318_panel_core kv318_cli_core)
target_include_directories(sample_units_test PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/vectors)
