# Shared by the toolchain files that cross-build tolvek for Linux on another
# processor with Debian's cross compilers, which set CMAKE_SYSTEM_PROCESSOR
# first. Where qemu-user is installed, test programs run under it.
set(CMAKE_SYSTEM_NAME Linux)
set(TOLVEK_TARGET ${CMAKE_SYSTEM_PROCESSOR}-linux-gnu)

set(CMAKE_C_COMPILER ${TOLVEK_TARGET}-gcc)
set(CMAKE_CXX_COMPILER ${TOLVEK_TARGET}-g++)

# Libraries and headers come from the target's tree only, programs from the
# build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${TOLVEK_TARGET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Named explicitly, with the target's C library, as the kernel may have no
# binfmt_misc entry that would start the emulator by itself.
find_program(TOLVEK_QEMU qemu-${CMAKE_SYSTEM_PROCESSOR})
if(TOLVEK_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TOLVEK_QEMU} -L /usr/${TOLVEK_TARGET})
endif()
