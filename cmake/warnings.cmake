# Warnings are errors on every target of the project: targets created from
# here on turn them into errors (a build may opt out with
# `cmake --compile-no-warning-as-error`).
set(CMAKE_COMPILE_WARNING_AS_ERROR ON)

# kv318_warnings: the one set of warnings, for C and C++ alike.  Every
# target that compiles code links it (PRIVATE), so changing the set is a
# change in this one place; kv318_check_warnings() at the end of the
# configure step names any target that forgot it.
add_library(kv318_warnings INTERFACE)
target_compile_options(kv318_warnings INTERFACE -Wall -Wextra -Wpedantic -Wshadow)

# kv318_check_warnings(): fails the configure step if a target of this
# source tree compiles code without linking kv318_warnings.  A target with
# flags of its own (a kernel-mode driver, say) says why in its
# KV318_OWN_WARNINGS property and is left alone.  Third-party trees built
# here (GoogleTest in the cross builds) lie outside the source directory
# and are not ours to hold to this.
function(kv318_check_warnings)
  set(dirs ${PROJECT_SOURCE_DIR})
  set(missing)
  while(dirs)
    list(POP_FRONT dirs dir)
    get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
    list(APPEND dirs ${subdirs})
    cmake_path(IS_PREFIX PROJECT_SOURCE_DIR ${dir} NORMALIZE ours)
    if(NOT ours)
      continue()
    endif()
    get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
    foreach(t ${targets})
      get_target_property(type ${t} TYPE)
      if(NOT type MATCHES "^(EXECUTABLE|STATIC_LIBRARY|SHARED_LIBRARY|MODULE_LIBRARY|OBJECT_LIBRARY)$")
        continue()
      endif()
      get_target_property(own ${t} KV318_OWN_WARNINGS)
      get_target_property(links ${t} LINK_LIBRARIES)
      if(NOT own AND NOT "kv318_warnings" IN_LIST links)
        list(APPEND missing ${t})
      endif()
    endforeach()
  endwhile()
  if(missing)
    message(FATAL_ERROR "These targets do not link kv318_warnings: ${missing}")
  endif()
endfunction()
