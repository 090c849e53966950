# Cross-built Windows programs run under Wine, in the throwaway prefix each
# test run creates (tests/windows/tests.cmake), and find KV318.dll in the
# library's build directory.  A 32-bit build runs in a 32-bit prefix, a
# 64-bit build in a 64-bit one under wine64, so each Windows preset has a
# prefix of its own kind.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(KV318_WINE_ARCH win64)
else()
  set(KV318_WINE_ARCH win32)
endif()
set(KV318_WINEPREFIX ${CMAKE_BINARY_DIR}/wine-prefix)
set(CMAKE_CROSSCOMPILING_EMULATOR
    ${CMAKE_SOURCE_DIR}/tools/wine-run
    --prefix ${KV318_WINEPREFIX}
    --path ${CMAKE_BINARY_DIR}/library)
