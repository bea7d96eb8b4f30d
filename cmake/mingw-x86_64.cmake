# Cross build for 64-bit Windows with mingw-w64 (posix thread model, so that
# std::mutex and std::thread exist); tests run under wine64.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# The Wine loader's path lives in scripts/wine-paths, beside the scripts
# that start Wine. Tests run through tests/support/wine-exec.sh, which says
# how the loader ended when a program fails.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-paths QUILLET_WINE64 REGEX "^WINE64=")
string(REPLACE "WINE64=" "" QUILLET_WINE64 "${QUILLET_WINE64}")
if(NOT QUILLET_WINE64)
  message(FATAL_ERROR "no WINE64= line in scripts/wine-paths")
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tests/support/wine-exec.sh ${QUILLET_WINE64})
