# Cross-builds tolvek for 64-bit ARM Linux (Debian's arm64) with Debian's
# cross compilers (package g++-aarch64-linux-gnu):
#   cmake -B build-arm64 --toolchain cmake/aarch64-linux-gnu.cmake
# Where qemu-user is installed, test programs run under it.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
