# Cross build for Windows with mingw-w64, shared by the two toolchain files.
# Each sets QUILLET_MINGW_ARCH (the processor, which names the compilers and
# their root) and QUILLET_WINE_LOADER (its loader's line in
# scripts/wine-paths), then includes this. The posix thread model, so that
# std::mutex and std::thread exist.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${QUILLET_MINGW_ARCH})
set(CMAKE_C_COMPILER ${QUILLET_MINGW_ARCH}-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUILLET_MINGW_ARCH}-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER ${QUILLET_MINGW_ARCH}-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${QUILLET_MINGW_ARCH}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# The Wine loader's path lives in scripts/wine-paths, beside the scripts
# that start Wine. Tests run through tests/support/wine-exec.sh, which says
# how the loader ended when a program fails.
set(QUILLET_TOP ${CMAKE_CURRENT_LIST_DIR}/..)
file(STRINGS ${QUILLET_TOP}/scripts/wine-paths QUILLET_WINE REGEX "^${QUILLET_WINE_LOADER}=")
string(REPLACE "${QUILLET_WINE_LOADER}=" "" QUILLET_WINE "${QUILLET_WINE}")
if(NOT QUILLET_WINE)
  message(FATAL_ERROR "no ${QUILLET_WINE_LOADER}= line in scripts/wine-paths")
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${QUILLET_TOP}/tests/support/wine-exec.sh ${QUILLET_WINE})
