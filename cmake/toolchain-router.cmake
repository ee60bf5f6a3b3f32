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
set(CMAKE_C_FLAGS_INIT "-specs ${_musl_specs}")
# musl_cxx.h defines the glibc version test libstdc++'s os_defines.h uses;
# static locals need no guard functions from libstdc++.
set(CMAKE_CXX_FLAGS_INIT "-specs ${_musl_specs} -isystem ${_cxx_headers} -isystem ${_cxx_headers}/arm-linux-gnueabihf -include ${CMAKE_CURRENT_LIST_DIR}/musl_cxx.h -fno-exceptions -fno-rtti -fno-threadsafe-statics")
# Only the GNU symbol hash (musl's loader reads it): the SysV table would add
# 800 bytes to a 30 KiB daemon.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,--hash-style=gnu")
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
