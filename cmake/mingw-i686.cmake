# Cross build for 32-bit Windows, the shipped target, with mingw-w64.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Tests run under Wine's 32-bit loader (scripts/wine-paths; scripts/deps.sh
# makes 32-bit programs run here), through tests/support/wine-exec.sh.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-paths QUILLET_WINE32 REGEX "^WINE32=")
string(REPLACE "WINE32=" "" QUILLET_WINE32 "${QUILLET_WINE32}")
if(NOT QUILLET_WINE32)
  message(FATAL_ERROR "no WINE32= line in scripts/wine-paths")
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tests/support/wine-exec.sh ${QUILLET_WINE32})
