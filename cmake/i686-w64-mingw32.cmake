# 32-bit Windows (Debian: g++-mingw-w64-i686-posix), for `make windows32`.
set(ZELNO_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/cross-windows.cmake)
