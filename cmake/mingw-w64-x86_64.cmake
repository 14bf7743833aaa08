# Cross-builds tolvek.exe for 64-bit Windows with Debian's MinGW-w64
# compilers (package g++-mingw-w64-x86-64-posix):
#   cmake -B build-windows --toolchain cmake/mingw-w64-x86_64.cmake
# Where Wine is installed, test programs run under it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

# Libraries and headers come from the MinGW-w64 tree only, programs from
# the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Addresses are not randomised for Wine, which otherwise now and then fails
# to start a program, finding taken an address that Windows keeps free.
find_program(TOLVEK_WINE wine)
if(TOLVEK_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR setarch -R ${TOLVEK_WINE})
endif()
