# 32-bit ARM hard-float, Debian's armhf (ARMv7: Raspberry Pi 2 and later).
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
# Needs g++-arm-linux-gnueabihf and qemu-user.
set(ZUNRA_CROSS_TRIPLET arm-linux-gnueabihf)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(ZUNRA_QEMU qemu-arm)
# GCC notes on every std::map that an ABI detail changed in GCC 7.1; all
# our code is built with one compiler, so the note says nothing here.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)
include(${CMAKE_CURRENT_LIST_DIR}/cross-debian.cmake)
