# The platform timers, each against the contract every platform timer keeps
# (timer_contract.h): the Linux timer thread with its schedule, and the
# multimedia timer of both Windows builds.  Both run the real timer, so the
# tsan preset runs the Linux one too.
if(WIN32)
  kv318_add_test(timer_multimedia_test SOURCES timer/multimedia_timer_test.cpp)
else()
  kv318_add_test(timer_thread_test SOURCES timer/thread_timer_test.cpp)
  # A timer that never stops shows as a timeout, long before the preset's own.
  set_tests_properties(timer_thread_test PROPERTIES TIMEOUT 240)
endif()
