# cmake -DPROGRAM=path -DOUTPUT=file -P subcommands.cmake: writes a
# help2man include file with a SUBCOMMANDS section that holds the --help of
# every subcommand of PROGRAM (a CLI11 program), nested ones too, each under
# its full command line ("kv318-cli reg get").  help2man itself reads only
# the top-level --help, which names the subcommands but not their options.
#
# The subcommands are read from each help's "Subcommands:" list (CLI11
# writes the heading in capitals in some versions), so a subcommand added
# to the program appears in its man page without a change here.  Each help
# is shown as it is printed (.nf), with the characters roff would take as
# its own escaped.  Fails when a --help fails or the program names no
# subcommand at all.
if(NOT PROGRAM OR NOT OUTPUT)
  message(FATAL_ERROR "usage: cmake -DPROGRAM=path -DOUTPUT=file -P subcommands.cmake")
endif()
get_filename_component(name ${PROGRAM} NAME)
string(REPLACE "-" "\\-" roff_name "${name}")

# The help of PROGRAM with the arguments given, in var.
function(help var)
  execute_process(COMMAND ${PROGRAM} ${ARGN} --help RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${name} ${ARGN} --help failed (${rc}): ${err}")
  endif()
  set(${var} "${out}" PARENT_SCOPE)
endfunction()

# The subcommand names a help lists, in var: the first word of each
# indented line after the heading, up to the next line that is not
# indented.
function(subcommands_of var text)
  string(REPLACE ";" "\\;" text "${text}")
  string(REPLACE "\n" ";" lines "${text}")
  set(names)
  set(inside FALSE)
  foreach(line IN LISTS lines)
    string(TOLOWER "${line}" lower)
    if(lower MATCHES "^subcommands:")
      set(inside TRUE)
    elseif(inside AND line MATCHES "^[ \t]+([a-z][-a-z0-9_]*)")
      list(APPEND names ${CMAKE_MATCH_1})
    elseif(inside)
      break()
    endif()
  endforeach()
  set(${var} ${names} PARENT_SCOPE)
endfunction()

# The help text as preformatted roff: backslashes written \e, hyphens \-
# (so they are searched and copied as hyphens), and a line starting with
# a dot or a quote guarded with \&, which roff would take as a request.
function(as_roff var text)
  string(REPLACE "\\" "\\e" text "${text}")
  string(REPLACE "-" "\\-" text "${text}")
  string(REGEX REPLACE "\n([.'])" "\n\\\\&\\1" text "\n${text}")
  string(STRIP "${text}" text)
  set(${var} ".nf\n${text}\n.fi\n" PARENT_SCOPE)
endfunction()

set(page "[SUBCOMMANDS]\nEach subcommand's options, as its own \\fB\\-\\-help\\fR prints them.\n")
set(count 0)
set(queue)
help(top)
subcommands_of(queue "${top}")
# Depth first, in the order the helps list them: "reg" is followed by
# "reg get" and "reg set", then "di".  Each entry is a command line whose
# words are joined by "|".
while(queue)
  list(POP_FRONT queue entry)
  string(REPLACE "|" ";" words "${entry}")
  help(text ${words})
  string(REPLACE "|" " " title "${entry}")
  string(REPLACE "-" "\\-" title "${title}")
  as_roff(body "${text}")
  string(APPEND page ".SS \"${roff_name} ${title}\"\n${body}")
  math(EXPR count "${count} + 1")
  subcommands_of(nested "${text}")
  list(TRANSFORM nested PREPEND "${entry}|")
  list(PREPEND queue ${nested})
endwhile()
if(count EQUAL 0)
  message(FATAL_ERROR "${name} --help lists no subcommands")
endif()
file(WRITE ${OUTPUT} "${page}")
