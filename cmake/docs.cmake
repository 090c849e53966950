# `cmake --build --preset linux --target docs`: the HTML reference of the
# public header, made by Doxygen into <build>/docs/html.  Not part of the
# default build.  Every export must carry its comment block: an undocumented
# one is a warning, and the target fails on any warning.
find_program(KV318_DOXYGEN doxygen)
if(KV318_DOXYGEN)
  configure_file(${PROJECT_SOURCE_DIR}/docs/Doxyfile.in ${PROJECT_BINARY_DIR}/docs/Doxyfile @ONLY)
  add_custom_target(docs
    COMMAND ${KV318_DOXYGEN} ${PROJECT_BINARY_DIR}/docs/Doxyfile
    WORKING_DIRECTORY ${PROJECT_BINARY_DIR}/docs
    DEPENDS ${PROJECT_SOURCE_DIR}/library/include/KV318.h
    COMMENT "The API reference in ${PROJECT_BINARY_DIR}/docs/html"
    VERBATIM)
else()
  add_custom_target(docs
    COMMAND ${CMAKE_COMMAND} -E echo "docs: doxygen not found (Debian package doxygen, tools/setup.sh)"
    COMMAND ${CMAKE_COMMAND} -E false
    VERBATIM)
endif()
