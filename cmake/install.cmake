# Where an install puts things (GNUInstallDirs), and the one call each
# program's own CMakeLists.txt makes to be installed.  Included before the
# subdirectories, so any of them may call kv318_install_program; what the
# install and the packages hold as a whole is in cmake/package.cmake.

# The docs go to share/doc/kv318, after the Debian package's name, unless
# the cache names another place.
if(NOT CMAKE_INSTALL_DOCDIR)
  set(CMAKE_INSTALL_DOCDIR share/doc/kv318)
endif()
include(GNUInstallDirs)

# kv318_stripped_file(VAR TARGET), Windows only: VAR is the copy of the
# target's DLL or program that the zip and the MSI ship, made by the full
# build in <build>/stripped: without debug sections or unneeded symbols,
# and with a .gnu_debuglink naming <file>.debug beside it, which keeps what
# was taken out for a debugger (gdb finds it there by the link).  The
# build's own file keeps its debug sections, and the tests run that one.
# The first call for a target adds the rule and the target
# <target>_stripped.
function(kv318_stripped_file var target)
  # The file's name from the target's properties: an OUTPUT may not hold
  # $<TARGET_FILE_NAME>.
  get_target_property(type ${target} TYPE)
  set(kind EXECUTABLE)
  if(type STREQUAL "SHARED_LIBRARY")
    set(kind SHARED_LIBRARY)
  endif()
  set(parts)
  foreach(part PREFIX OUTPUT_NAME SUFFIX)
    get_target_property(value ${target} ${part})
    if(value MATCHES "-NOTFOUND$")
      set(value ${CMAKE_${kind}_${part}})
      if(part STREQUAL "OUTPUT_NAME")
        set(value ${target})
      endif()
    endif()
    string(APPEND parts "${value}")
  endforeach()
  set(out ${PROJECT_BINARY_DIR}/stripped/${parts})
  set(${var} ${out} PARENT_SCOPE)
  if(TARGET ${target}_stripped)
    return()
  endif()
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/stripped
    COMMAND ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE:${target}> ${out}.debug
    COMMAND ${CMAKE_OBJCOPY} --strip-unneeded --add-gnu-debuglink=${out}.debug $<TARGET_FILE:${target}> ${out}
    DEPENDS ${target}
    COMMENT "${target} without debug sections, which go to its .debug file"
    VERBATIM)
  add_custom_target(${target}_stripped ALL DEPENDS ${out})
endfunction()

# kv318_install_program(target... [COMPONENT component]): installs the
# programs into bin/, in the install component `component` (default
# tools).  On Linux they also find the installed libKV318.so in the
# install's own lib/ directory, wherever the tree was installed or unpacked
# (cpack strips them for the Debian packages); on Windows KV318.dll sits
# beside them in bin/, where the loader looks first, and the stripped
# copies are installed.
function(kv318_install_program)
  cmake_parse_arguments(arg "" "COMPONENT" "" ${ARGN})
  if(NOT arg_COMPONENT)
    set(arg_COMPONENT tools)
  endif()
  foreach(t ${arg_UNPARSED_ARGUMENTS})
    if(WIN32)
      kv318_stripped_file(shipped ${t})
      install(PROGRAMS ${shipped} DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${arg_COMPONENT})
    else()
      file(RELATIVE_PATH to_lib /${CMAKE_INSTALL_BINDIR} /${CMAKE_INSTALL_LIBDIR})
      set_target_properties(${t} PROPERTIES INSTALL_RPATH "$ORIGIN/${to_lib}")
      install(TARGETS ${t} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${arg_COMPONENT})
    endif()
    # The install and package tests check that every one of them arrives:
    # the tools' programs in KV318_INSTALLED_PROGRAMS, those of another
    # component in KV318_INSTALLED_PROGRAMS_<COMPONENT>.
    if(arg_COMPONENT STREQUAL "tools")
      set_property(GLOBAL APPEND PROPERTY KV318_INSTALLED_PROGRAMS ${t})
    else()
      string(TOUPPER ${arg_COMPONENT} comp)
      set_property(GLOBAL APPEND PROPERTY KV318_INSTALLED_PROGRAMS_${comp} ${t})
    endif()
  endforeach()
endfunction()
