# Toolchain file for 32-bit x86 on an x86-64 host with GCC's multilib
# (Debian: g++-multilib). Used by `make m32`:
#   cmake -S . -B build-m32 -DCMAKE_TOOLCHAIN_FILE=cmake/m32.cmake
# The flags are in place before the compilers are probed, so every check and
# every search (libraries, packages) is made for the 32-bit target.
set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")
