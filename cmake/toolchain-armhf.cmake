# SPDX-License-Identifier: ISC
# 32-bit ARM glibc, with Debian's crossbuild-essential-armhf: only for running the
# GoogleTest unit tests on ARM under qemu-user (GoogleTest needs a C++ runtime,
# which musl lacks in Debian). The router build is toolchain-router.cmake.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
# cJSON compiled from Debian's source package (cmake/cjson.cmake).
set(KESTREL_CJSON_DEFAULT debian-source)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm;-L;/usr/arm-linux-gnueabihf)
