# The man pages of the programs, in share/man/man1 with the programs (the
# install component of each: tools, or tango for kv318-tango).  The command-line programs' pages are made from their
# own --help by help2man when the build makes the programs, so a page never
# disagrees with the program; the panel is a window with no --help, so its
# short page is written by hand (cmake/man/kv318.1.in).  Debian wants them
# compressed with gzip -9n, which leaves no time stamp in the file.  The
# scope is a window too, but its command line sets every view, and its
# --help reads it without opening a display, so its page is made the same
# way.
# Not in sanitizer builds: their programs may report leaks at exit, and
# nobody installs them.
if(KV318_SANITIZE)
  return()
endif()
find_program(KV318_HELP2MAN help2man)
set(kv318_man_dir ${PROJECT_BINARY_DIR}/man)
file(MAKE_DIRECTORY ${kv318_man_dir})
set(kv318_man_pages)
set(kv318_man_pages_tango)

# kv318_man_page_from_help(TARGET NAME_LINE [SUBCOMMANDS] [COMPONENT tango]):
# with SUBCOMMANDS, the page also gets a section with every subcommand's
# own --help (cmake/man/subcommands.cmake), which the top-level --help that
# help2man reads leaves out.  The page goes with the tools unless
# COMPONENT names tango.
function(kv318_man_page_from_help target name_line)
  cmake_parse_arguments(arg "SUBCOMMANDS" "COMPONENT" "" ${ARGN})
  set(page ${kv318_man_dir}/${target}.1)
  set(include)
  set(make_include)
  set(script ${PROJECT_SOURCE_DIR}/cmake/man/subcommands.cmake)
  if(arg_SUBCOMMANDS)
    set(include --include=${page}.subcommands)
    set(make_include COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:${target}> -DOUTPUT=${page}.subcommands
      -P ${script})
  endif()
  add_custom_command(OUTPUT ${page}.gz
    ${make_include}
    COMMAND ${KV318_HELP2MAN} --no-info --version-string=${PROJECT_VERSION} --name=${name_line} ${include}
      --output=${page} $<TARGET_FILE:${target}>
    COMMAND ${KV318_GZIP} -9nf ${page}
    DEPENDS ${target} ${script}
    COMMENT "man page of ${target} from its --help"
    VERBATIM)
  set(list kv318_man_pages)
  if(arg_COMPONENT STREQUAL "tango")
    set(list kv318_man_pages_tango)
  endif()
  set(${list} ${${list}} ${page}.gz PARENT_SCOPE)
endfunction()

if(KV318_HELP2MAN)
  kv318_man_page_from_help(kv318-cli "the KV318 data-acquisition board from a shell" SUBCOMMANDS)
  kv318_man_page_from_help(kv318-sim "simulated KV318 boards for the library when no board is attached")
  if(TARGET kv318-server)
    kv318_man_page_from_help(kv318-server "one KV318 board for every program, on this machine and across the network")
  endif()
  if(TARGET kv318-scope)
    kv318_man_page_from_help(kv318-scope "the KV318 board's analog input as a live oscilloscope trace")
  endif()
  if(TARGET kv318-tango)
    kv318_man_page_from_help(kv318-tango "KV318 boards as devices of a Tango control system" COMPONENT tango)
  endif()
else()
  message(WARNING "help2man not found: the packages will lack the man pages of kv318-cli, kv318-sim, kv318-server, kv318-scope and kv318-tango")
endif()
if(TARGET kv318)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/man/kv318.1.in ${kv318_man_dir}/kv318.1 @ONLY)
  add_custom_command(OUTPUT ${kv318_man_dir}/kv318.1.gz
    COMMAND ${KV318_GZIP} -9nkf ${kv318_man_dir}/kv318.1
    DEPENDS ${kv318_man_dir}/kv318.1
    COMMENT "man page of the panel kv318"
    VERBATIM)
  list(APPEND kv318_man_pages ${kv318_man_dir}/kv318.1.gz)
endif()

add_custom_target(kv318_man_pages ALL DEPENDS ${kv318_man_pages} ${kv318_man_pages_tango})
install(FILES ${kv318_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
if(kv318_man_pages_tango)
  install(FILES ${kv318_man_pages_tango} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tango)
endif()
