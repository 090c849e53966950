# The trigger and capture engine, the decimation, the measurements and the
# FIFO verdict, on synthetic signals and the shared vectors.  The verdict's
# table is compiled into the test, so it runs the same under Wine, where a
# build-tree path may not resolve.
set(kv318_fifo_verdict_csv ${CMAKE_CURRENT_SOURCE_DIR}/vectors/fifo_verdict.csv)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${kv318_fifo_verdict_csv})
file(READ ${kv318_fifo_verdict_csv} KV318_FIFO_VERDICT_CSV)
file(CONFIGURE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/analysis/fifo_verdict_csv.inc
  CONTENT "R\"csv(@KV318_FIFO_VERDICT_CSV@)csv\"\n" @ONLY)

kv318_add_test(analysis_test
  SOURCES analysis/trigger_test.cpp analysis/columns_measure_test.cpp analysis/fifo_verdict_test.cpp
  LIBS kv318_analysis)
target_include_directories(analysis_test PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/analysis)
