# 32-bit ARM hard-float, Debian's armhf (ARMv7: Raspberry Pi 2 and later).
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
# Needs g++-arm-linux-gnueabihf and qemu-user.
set(ZUNRA_CROSS_TRIPLET arm-linux-gnueabihf)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(ZUNRA_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/cross-debian.cmake)
