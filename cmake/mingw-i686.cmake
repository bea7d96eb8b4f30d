# Cross build for 32-bit Windows, the shipped target; tests run under Wine's
# 32-bit loader (scripts/deps.sh makes 32-bit programs run here).
set(QUILLET_MINGW_ARCH i686)
set(QUILLET_WINE_LOADER WINE32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
