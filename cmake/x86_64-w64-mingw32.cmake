# 64-bit Windows (Debian: g++-mingw-w64-x86-64-posix), for `make windows`.
set(ZELNO_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/cross-windows.cmake)
