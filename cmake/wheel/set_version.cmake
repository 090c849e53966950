# cmake -DSTAGE=dir -DVERSION=x.y.z -P set_version.cmake: writes VERSION
# into the staged copy of the Python package, wherever that copy states its
# version (the version line of pyproject.toml, or kv318/_version.py when
# pyproject.toml reads it from there), so a wheel built from a tree with
# another KV318_VERSION says that version.  Fails when it finds neither.
set(done FALSE)
foreach(spec "pyproject.toml|\nversion *= *\"[^\"]*\"|\nversion = \"${VERSION}\""
             "kv318/_version.py|\n__version__ *= *\"[^\"]*\"|\n__version__ = \"${VERSION}\"")
  string(REPLACE "|" ";" spec "${spec}")
  list(GET spec 0 file)
  list(GET spec 1 pattern)
  list(GET spec 2 replacement)
  if(NOT EXISTS ${STAGE}/${file})
    continue()
  endif()
  file(READ ${STAGE}/${file} text)
  # A leading newline, so a version line at the very top matches too.
  string(REGEX REPLACE "${pattern}" "${replacement}" out "\n${text}")
  if(NOT out STREQUAL "\n${text}" OR "\n${text}" MATCHES "${pattern}")
    string(SUBSTRING "${out}" 1 -1 out)
    file(WRITE ${STAGE}/${file} "${out}")
    set(done TRUE)
  endif()
endforeach()
if(NOT done)
  message(FATAL_ERROR "set_version: no version line in ${STAGE}/pyproject.toml or kv318/_version.py")
endif()
