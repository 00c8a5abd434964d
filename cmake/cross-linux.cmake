# The shared part of the cross toolchain files: Debian's cross compilers
# (g++-TRIPLE, with the target's C library in /usr/TRIPLE). Every program is
# linked statically, so that it starts without the target's loader and C
# library: natively where the kernel runs it, through the user-mode emulator
# elsewhere (see emulator.cmake).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${ZELNO_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${ZELNO_TRIPLE}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${ZELNO_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
