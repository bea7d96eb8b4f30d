# Cross build for 64-bit Windows; tests run under wine64.
set(QUILLET_MINGW_ARCH x86_64)
set(QUILLET_WINE_LOADER WINE64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
