# Shared part of the Debian cross toolchains. The including file sets
# ZUNRA_CROSS_TRIPLET, CMAKE_SYSTEM_PROCESSOR and ZUNRA_QEMU first.
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${ZUNRA_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${ZUNRA_CROSS_TRIPLET}-g++)
# Debian's cross packages install the target's libraries and headers here;
# qemu-user finds the target's dynamic loader and libc under the same root.
set(ZUNRA_CROSS_ROOT /usr/${ZUNRA_CROSS_TRIPLET})

set(CMAKE_FIND_ROOT_PATH ${ZUNRA_CROSS_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# ctest runs every test binary through the emulator, and so does
# gtest_discover_tests when it lists the tests after a build.
set(CMAKE_CROSSCOMPILING_EMULATOR ${ZUNRA_QEMU} -L ${ZUNRA_CROSS_ROOT})


# GNUInstallDirs picks Debian's multiarch library directory only in native
# builds; a cross build for /usr gets the layout a native build on the Pi has.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr" AND NOT DEFINED CACHE{CMAKE_INSTALL_LIBDIR})
  set(CMAKE_INSTALL_LIBDIR lib/${ZUNRA_CROSS_TRIPLET} CACHE PATH "Object code libraries (lib)")
endif()
