# SPDX-License-Identifier: ISC
# The router: 32-bit ARM hard-float on musl (arm-linux-musleabihf), from
# Debian's packages only: the cross gcc of crossbuild-essential-armhf with the
# specs file of musl-dev:armhf.  C++ uses libstdc++'s headers alone (the code
# needs no exceptions, RTTI, iostreams or new), and C++ programs are linked by
# the C driver, so neither libstdc++ nor libgcc_s ends up in a binary.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(KESTREL_ROUTER ON)
# cJSON compiled from Debian's source package (cmake/cjson.cmake).
set(KESTREL_CJSON_DEFAULT debian-source)

set(_musl_specs /usr/lib/arm-linux-musleabihf/musl-gcc.specs)
set(_cxx_headers /usr/arm-linux-gnueabihf/include/c++/12)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
# Optimised across files at link time: 1.5 KiB less code in the daemon.  The
# objects keep their plain code too (fat), so libkestrel.a links into a
# firmware team's programs without LTO.  No partly inlined copies, hoisted
# loop constants, tail calls or inlined functions of more than a few
# instructions, no scheduling or reordering of instructions, blocks and
# functions, and no section anchors: the daemon runs once and mostly waits
# on the network, and these only add code or hide from the flash's xz the
# repeats it would find (some 2,000 bytes of its xz, each flag measured).
set(_lto "-flto=auto -ffat-lto-objects -fno-partial-inlining -fno-move-loop-invariants -finline-limit=5 -fno-optimize-sibling-calls -fno-schedule-insns2 -fno-reorder-blocks -fno-reorder-functions -fno-section-anchors")
set(CMAKE_AR arm-linux-gnueabihf-gcc-ar)
set(CMAKE_RANLIB arm-linux-gnueabihf-gcc-ranlib)
# OpenWrt's default package hardening, as its build gives every package:
# format checks and the stack protector (libc.so has __stack_chk_fail).  Its
# -D_FORTIFY_SOURCE=1 is left out: Debian's musl has no fortify headers (on
# OpenWrt the fortify-headers package brings them), so the define would
# change nothing in this build.
set(_hardening "-Wformat -Werror=format-security -fstack-protector")
set(CMAKE_C_FLAGS_INIT "-specs ${_musl_specs} ${_hardening} ${_lto}")
# musl_cxx.h defines the glibc version test libstdc++'s os_defines.h uses;
# static locals need no guard functions from libstdc++.
set(CMAKE_CXX_FLAGS_INIT "-specs ${_musl_specs} -isystem ${_cxx_headers} -isystem ${_cxx_headers}/arm-linux-gnueabihf -include ${CMAKE_CURRENT_LIST_DIR}/musl_cxx.h -fno-exceptions -fno-rtti -fno-threadsafe-statics ${_hardening} ${_lto}")
# Only the GNU symbol hash (musl's loader reads it): the SysV table would add
# 800 bytes to the daemon.  Position-independent (the compiler's
# default), full RELRO (every symbol bound at load, the GOT read-only after
# it) and a stack that is not executable, as OpenWrt links.  RELRO's page
# alignment costs about 1.7 KiB of zeros in the file, some 20 bytes in the
# xz of the flash and the gzip of the package.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,--hash-style=gnu -Wl,-z,relro -Wl,-z,now -Wl,-z,noexecstack ${_lto}")
set(CMAKE_CXX_LINK_EXECUTABLE
    "${CMAKE_C_COMPILER} <FLAGS> <CMAKE_CXX_LINK_FLAGS> <LINK_FLAGS> <OBJECTS> -o <TARGET> <LINK_LIBRARIES>")

# Nothing is searched on the build machine: cJSON is built from source.
set(CMAKE_FIND_ROOT_PATH /usr/lib/arm-linux-musleabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# musl's loader is installed on the build machine (musl:armhf), so qemu needs
# no prefix.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm)
