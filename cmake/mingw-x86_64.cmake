# mingw-x86_64.cmake: cross toolchain for the 64-bit build of the same sources, run by the
# Wine tests and the launcher where the kernel cannot run 32-bit programs.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VELKA_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
