# The shared part of the Windows toolchain files: Debian's mingw-w64 cross
# compilers with the posix thread model (the win32 model has no std::thread).
# Every program is linked statically, the C++ runtime and winpthreads
# included, so that it needs no DLL beyond the system's.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${ZELNO_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZELNO_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ZELNO_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${ZELNO_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
