# 32-bit x86 (Debian: g++-i686-linux-gnu), for `make m32`.
set(ZELNO_TRIPLE i686-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ZELNO_QEMU qemu-i386)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
