# 64-bit ARM (Debian: g++-aarch64-linux-gnu), for `make aarch64`.
set(ZELNO_TRIPLE aarch64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(ZELNO_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
