# 64-bit x86 (Debian: g++-x86-64-linux-gnu, or the native g++ on amd64), for
# `make dist`, which names the compiler of every target.
set(ZELNO_TRIPLE x86_64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ZELNO_QEMU qemu-x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
