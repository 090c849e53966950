# The library's exports, read from library/KV318.def: the one list of their
# names, argument bytes and ordinals.  KV318.dll links with that file; the
# tests take their expectations from KV318_EXPORTS, and every stand-in for
# KV318.dll links with a .def written from it, so a new export is listed in
# KV318.def and nowhere else (windows_dll_entry_test gives it a row with the
# arguments to call it with, and holds every published ordinal).
#
# KV318_EXPORTS: "name:ordinal" for each export, in the .def's order.
# KV318_EXPORT_NAMES: the names alone.
set(KV318_DEF_FILE ${PROJECT_SOURCE_DIR}/library/KV318.def)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${KV318_DEF_FILE})

file(STRINGS ${KV318_DEF_FILE} kv318_def_lines REGEX "^[ \t]+KV318_")
set(KV318_EXPORTS)
set(KV318_EXPORT_NAMES)
foreach(line IN LISTS kv318_def_lines)
  # "  KV318_Read@8 @13": the stdcall name with its argument bytes, then the ordinal.
  if(NOT line MATCHES "^[ \t]+(KV318_[A-Za-z0-9_]+)@([0-9]+)[ \t]+@([0-9]+)[ \t]*$")
    message(FATAL_ERROR "${KV318_DEF_FILE}: an export line reads '${line}', not 'NAME@BYTES @ORDINAL'")
  endif()
  if(CMAKE_MATCH_1 IN_LIST KV318_EXPORT_NAMES)
    message(FATAL_ERROR "${KV318_DEF_FILE}: ${CMAKE_MATCH_1} is listed twice")
  endif()
  list(APPEND KV318_EXPORTS "${CMAKE_MATCH_1}:${CMAKE_MATCH_3}")
  list(APPEND KV318_EXPORT_NAMES ${CMAKE_MATCH_1})
  set(KV318_EXPORT_LINE_${CMAKE_MATCH_1} "${CMAKE_MATCH_1}@${CMAKE_MATCH_2} @${CMAKE_MATCH_3}")
endforeach()
if(NOT KV318_EXPORTS)
  message(FATAL_ERROR "${KV318_DEF_FILE} lists no export")
endif()

# kv318_stand_in_exports(target [name...]): a test's stand-in for KV318.dll
# exports the named functions (every export when none is named) under the
# real DLL's undecorated names and at its ordinals, from a .def written into
# the build tree.  The stand-in defines each named function with the
# header's prototype; on 32-bit Windows a wrong argument count fails the
# link, as the decorated name no longer matches.
function(kv318_stand_in_exports target)
  set(names ${ARGN})
  if(NOT names)
    set(names ${KV318_EXPORT_NAMES})
  endif()
  set(text "; Written by cmake/kv318_exports.cmake from library/KV318.def.\nEXPORTS\n")
  foreach(name IN LISTS names)
    if(NOT DEFINED KV318_EXPORT_LINE_${name})
      message(FATAL_ERROR "kv318_stand_in_exports(${target}): ${name} is not in ${KV318_DEF_FILE}")
    endif()
    string(APPEND text "  ${KV318_EXPORT_LINE_${name}}\n")
  endforeach()
  set(def ${CMAKE_CURRENT_BINARY_DIR}/${target}.def)
  # Rewritten only when it changes, so a configure relinks nothing needlessly.
  set(old "")
  if(EXISTS ${def})
    file(READ ${def} old)
  endif()
  if(NOT old STREQUAL text)
    file(WRITE ${def} "${text}")
  endif()
  target_sources(${target} PRIVATE ${def})
  target_link_options(${target} PRIVATE -Wl,--kill-at)
endfunction()
