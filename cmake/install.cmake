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

# kv318_install_program(target...): installs the programs into bin/.  On
# Linux they also find the installed libKV318.so in the install's own lib/
# directory, wherever the tree was installed or unpacked; on Windows
# KV318.dll sits beside them in bin/, where the loader looks first.
function(kv318_install_program)
  foreach(t ${ARGN})
    if(NOT WIN32)
      file(RELATIVE_PATH to_lib /${CMAKE_INSTALL_BINDIR} /${CMAKE_INSTALL_LIBDIR})
      set_target_properties(${t} PROPERTIES INSTALL_RPATH "$ORIGIN/${to_lib}")
    endif()
    install(TARGETS ${t} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
    # The install and package tests check that every one of them arrives.
    set_property(GLOBAL APPEND PROPERTY KV318_INSTALLED_PROGRAMS ${t})
  endforeach()
endfunction()
