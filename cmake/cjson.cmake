# SPDX-License-Identifier: ISC
# cJSON as the target kestrel_cjson, by KESTREL_CJSON:
#   pkg-config      the target's libcjson through pkg-config (native builds,
#                   and a firmware build system that provides cJSON itself);
#   debian-source   Debian's own source package of the installed libcjson-dev
#                   version (Debian's patches applied), fetched once into a
#                   cache under build/ and compiled for the target; nothing of
#                   it is committed.  Our ARM toolchain files choose it.
if(NOT DEFINED KESTREL_CJSON_DEFAULT)
  set(KESTREL_CJSON_DEFAULT pkg-config)
endif()
set(KESTREL_CJSON "${KESTREL_CJSON_DEFAULT}" CACHE STRING "Where cJSON comes from: pkg-config or debian-source")
set_property(CACHE KESTREL_CJSON PROPERTY STRINGS pkg-config debian-source)

if(KESTREL_CJSON STREQUAL "debian-source")
  set(KESTREL_CJSON_CACHE "${CMAKE_SOURCE_DIR}/build/cache/cjson" CACHE PATH
      "Where the router build keeps Debian's cJSON sources")
  if(NOT EXISTS "${KESTREL_CJSON_CACHE}/tree/cJSON.c")
    execute_process(COMMAND bash "${CMAKE_SOURCE_DIR}/scripts/fetch-cjson.sh" "${KESTREL_CJSON_CACHE}"
                    RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "could not fetch cJSON's sources (scripts/fetch-cjson.sh, needs root and dpkg-dev)")
    endif()
  endif()
  # Included as <cjson/cJSON.h>, as from the Debian package.
  configure_file("${KESTREL_CJSON_CACHE}/tree/cJSON.h" "${CMAKE_BINARY_DIR}/cjson-include/cjson/cJSON.h" COPYONLY)
  add_library(kestrel_cjson STATIC "${KESTREL_CJSON_CACHE}/tree/cJSON.c")
  target_include_directories(kestrel_cjson SYSTEM PUBLIC "${CMAKE_BINARY_DIR}/cjson-include")
  set_target_properties(kestrel_cjson PROPERTIES OUTPUT_NAME cjson)
  # For programs built against the installed libkestrel in the tests: its
  # pkg-config file requires libcjson, which a firmware build provides as a
  # package of its own; here it is the build's copy.
  file(STRINGS "${KESTREL_CJSON_CACHE}/tree/cJSON.h" version_lines REGEX "^#define CJSON_VERSION_(MAJOR|MINOR|PATCH) ")
  string(REGEX REPLACE "[^;]* ([0-9]+)(;|$)" "\\1." KESTREL_CJSON_VERSION "${version_lines}")
  string(REGEX REPLACE "\\.$" "" KESTREL_CJSON_VERSION "${KESTREL_CJSON_VERSION}")
  file(GENERATE OUTPUT "${CMAKE_BINARY_DIR}/cjson-pkgconfig/libcjson.pc" CONTENT
"Name: libcjson
Description: cJSON built from Debian's source package for this build
Version: ${KESTREL_CJSON_VERSION}
Libs: -L$<TARGET_FILE_DIR:kestrel_cjson> -lcjson
Cflags: -I${CMAKE_BINARY_DIR}/cjson-include
")
  set(KESTREL_CJSON_PKGCONFIG_DIRS "${CMAKE_BINARY_DIR}/cjson-pkgconfig")
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(CJSON REQUIRED IMPORTED_TARGET libcjson)
  add_library(kestrel_cjson INTERFACE)
  target_link_libraries(kestrel_cjson INTERFACE PkgConfig::CJSON)
endif()
