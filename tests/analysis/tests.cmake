# The trigger and capture engine, the decimation and the measurements, on
# synthetic signals.
kv318_add_test(analysis_test SOURCES analysis/trigger_test.cpp analysis/columns_measure_test.cpp LIBS kv318_analysis)
