# Run by `cmake --install` and cpack, not at configure time: writes
# kv318-server's user unit naming the binary and docs of the prefix being
# installed to.  That prefix is known only now: `--prefix` and the Debian
# packages (/usr) choose it after the build was configured.
#
# Set by the install rule in cmake/package.cmake:
#   KV318_UNIT_TEMPLATE  kv318-server.service.in
#   KV318_UNIT_WORK      a folder of the build tree for the written units
#   KV318_UNIT_BINDIR    CMAKE_INSTALL_BINDIR, relative to the prefix or not
#   KV318_UNIT_DOCDIR    CMAKE_INSTALL_DOCDIR, likewise
foreach(dir BINDIR DOCDIR)
  if(NOT IS_ABSOLUTE "${KV318_UNIT_${dir}}")
    set(KV318_UNIT_${dir} "${CMAKE_INSTALL_PREFIX}/${KV318_UNIT_${dir}}")
  endif()
endforeach()
# One folder per destination: two installs of one build side by side (the
# install and package tests) never write the same file.
string(MD5 kv318_unit_key "$ENV{DESTDIR}|${CMAKE_INSTALL_PREFIX}")
set(kv318_unit "${KV318_UNIT_WORK}/${kv318_unit_key}/kv318-server.service")
configure_file("${KV318_UNIT_TEMPLATE}" "${kv318_unit}" @ONLY)
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/user" TYPE FILE FILES "${kv318_unit}")
