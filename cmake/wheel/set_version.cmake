# cmake -DIN=pyproject.toml -DOUT=... -DVERSION=x.y.z -P set_version.cmake:
# copies pyproject.toml with its version line set to VERSION, so a wheel
# built from a tree with another KV318_VERSION says that version.
file(READ ${IN} text)
string(REGEX REPLACE "\nversion *= *\"[^\"]*\"" "\nversion = \"${VERSION}\"" out "${text}")
if(out STREQUAL text AND NOT text MATCHES "\nversion = \"${VERSION}\"")
  message(FATAL_ERROR "no version line in ${IN}")
endif()
file(WRITE ${OUT} "${out}")
