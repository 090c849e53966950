# Warnings are errors on every target of the project: targets created from
# here on turn them into errors (a build may opt out with
# `cmake --compile-no-warning-as-error`), and kv318_warnings(target) turns
# on the warnings themselves.
set(CMAKE_COMPILE_WARNING_AS_ERROR ON)

function(kv318_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow)
endfunction()
