# mingw-i686.cmake: cross toolchain for the product, a 32-bit Windows program built on
# Linux with MinGW-w64.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(VELKA_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
