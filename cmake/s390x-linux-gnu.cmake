# Cross-builds tolvek for IBM Z Linux (Debian's s390x), a big-endian system,
# with Debian's cross compilers (package g++-s390x-linux-gnu), so that the
# tests run with the other byte order:
#   cmake -B build-s390x --toolchain cmake/s390x-linux-gnu.cmake
# Where qemu-user is installed, test programs run under it.
set(CMAKE_SYSTEM_PROCESSOR s390x)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
