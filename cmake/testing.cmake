# SPDX-License-Identifier: ISC
# Test helpers shared by every directory under tests/.
#
# Every test runs inside the sandbox (tests/sandbox/sandbox.sh): private
# mount, net and pid namespaces over a throwaway copy of the root, so the
# fixed paths under /tmp, /var/run and /etc can be used for real.

set(KESTREL_SANDBOX ${CMAKE_SOURCE_DIR}/tests/sandbox/sandbox.sh)
# The C libraries whose names the library must leave alone: the build's own
# and the router's musl.
if(NOT DEFINED KESTREL_C_LIBRARIES)
  execute_process(COMMAND ${CMAKE_C_COMPILER} -print-file-name=libc.so.6 OUTPUT_VARIABLE own_libc
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(KESTREL_C_LIBRARIES /usr/lib/arm-linux-musleabihf/libc.so)
  if(EXISTS "${own_libc}")
    list(PREPEND KESTREL_C_LIBRARIES "${own_libc}")
  endif()
endif()
# Where pkg-config finds cJSON for the consumer test (the build's own).
if(NOT DEFINED KESTREL_CJSON_PKGCONFIG_DIRS)
  execute_process(COMMAND pkg-config --variable=pcfiledir libcjson OUTPUT_VARIABLE KESTREL_CJSON_PKGCONFIG_DIRS
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()

set(KESTREL_FUZZ_SECONDS 20 CACHE STRING "Seconds each fuzz target runs in the test command")

# GoogleTest needs a C++ runtime, which the router build (musl) does not have:
# there the same cases run through driver programs and scripts.
if(KESTREL_BUILD_TESTS AND NOT KESTREL_ROUTER)
  set(KESTREL_GTEST ON)
else()
  set(KESTREL_GTEST OFF)
endif()
# Sandbox tests (end to end, real and scripted servers) run on the builds the
# daemon is tested as: native, sanitized and the router build under qemu.  The
# glibc ARM build runs only the GoogleTest binaries.
if(KESTREL_BUILD_TESTS AND (KESTREL_ROUTER OR NOT CMAKE_CROSSCOMPILING))
  set(KESTREL_SANDBOX_TESTS ON)
else()
  set(KESTREL_SANDBOX_TESTS OFF)
endif()

if(KESTREL_GTEST)
  if(CMAKE_CROSSCOMPILING)
    # Build GoogleTest from Debian's sources with the cross compiler.
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    if(NOT TARGET GTest::gtest)
      add_library(GTest::gtest ALIAS gtest)
      add_library(GTest::gtest_main ALIAS gtest_main)
    endif()
  else()
    find_package(GTest REQUIRED)
  endif()
endif()

if(KESTREL_SANDBOX_TESTS)
  # Built for the target, so under qemu it is preloaded into the guest only.
  add_library(kestrel_sleep_shim MODULE ${CMAKE_SOURCE_DIR}/tests/sandbox/sleep_shim.c)
  target_link_libraries(kestrel_sleep_shim PRIVATE dl)
  # The shim is preloaded into sanitized binaries too; keep it uninstrumented.
  target_compile_options(kestrel_sleep_shim PRIVATE -fno-sanitize=all)
  target_link_options(kestrel_sleep_shim PRIVATE -fno-sanitize=all)
  # Peak memory of the daemon, for the measuring scripts.
  add_library(kestrel_hwm_probe MODULE ${CMAKE_SOURCE_DIR}/tests/support/hwm_probe.c)
  target_compile_options(kestrel_hwm_probe PRIVATE -fno-sanitize=all)
  target_link_options(kestrel_hwm_probe PRIVATE -fno-sanitize=all)
endif()

# Environment every sandboxed test sees.  KESTREL_EMULATOR is the command that
# runs a program of the build under test (qemu-arm for the router build,
# empty natively): scripts start the daemon and the drivers through it.
string(REPLACE ";" " " _emulator "${CMAKE_CROSSCOMPILING_EMULATOR}")
set(KESTREL_TEST_ENV
  "KESTRELD=$<TARGET_FILE:kestreld>"
  "KESTREL_PUBLISH=$<TARGET_FILE:kestrel-publish>"
  "KESTREL_SOURCE_DIR=${CMAKE_SOURCE_DIR}"
  "KESTREL_BINARY_DIR=${CMAKE_BINARY_DIR}"
  "KESTREL_SLEEP_SHIM=$<$<BOOL:${KESTREL_SANDBOX_TESTS}>:$<TARGET_FILE:kestrel_sleep_shim>>"
  "KESTREL_EMULATOR=${_emulator}"
)

# kestrel_add_unit_test(NAME name SOURCES a.cpp b.cpp [LABELS l...])
# A GoogleTest binary linked with libkestrel, run inside the sandbox (under
# qemu for the glibc ARM build).  Not built for the router.
function(kestrel_add_unit_test)
  cmake_parse_arguments(T "" "NAME" "SOURCES;LABELS" ${ARGN})
  if(NOT KESTREL_GTEST)
    return()
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE kestrel GTest::gtest GTest::gtest_main)
  target_compile_options(${T_NAME} PRIVATE ${KESTREL_WARNINGS})
  add_test(NAME unit.${T_NAME}
           COMMAND ${KESTREL_SANDBOX} -- ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:${T_NAME}>)
  set_tests_properties(unit.${T_NAME} PROPERTIES LABELS "unit;${T_LABELS}" ENVIRONMENT "${KESTREL_TEST_ENV}"
                       TIMEOUT 600)
endfunction()

# kestrel_add_sandbox_test(NAME name COMMAND cmd args... [LABELS l...] [TIMEOUT s])
# An end-to-end or real-server test: the command runs inside the sandbox, on
# the build machine; the programs it tests run through $KESTREL_EMULATOR.
# Registered once, it runs for the native, sanitized and router builds.
function(kestrel_add_sandbox_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "COMMAND;LABELS" ${ARGN})
  if(NOT KESTREL_SANDBOX_TESTS)
    return()
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_test(NAME sandbox.${T_NAME} COMMAND ${KESTREL_SANDBOX} -- ${T_COMMAND})
  set_tests_properties(sandbox.${T_NAME} PROPERTIES LABELS "sandbox;${T_LABELS}"
                       ENVIRONMENT "${KESTREL_TEST_ENV}" TIMEOUT ${T_TIMEOUT})
endfunction()

# kestrel_add_driver(NAME name SOURCES a.cpp)
# A small command-line program over libkestrel for the scripts of the
# sandbox tests and the benchmarks, linked like the daemon.
function(kestrel_add_driver)
  cmake_parse_arguments(T "" "NAME" "SOURCES" ${ARGN})
  if(NOT KESTREL_SANDBOX_TESTS)
    return()
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  target_compile_options(${T_NAME} PRIVATE ${KESTREL_WARNINGS} -fno-exceptions -fno-rtti)
  target_link_libraries(${T_NAME} PRIVATE kestrel)
  target_link_options(${T_NAME} PRIVATE -Wl,--as-needed -Wl,--gc-sections)
  if(NOT KESTREL_ROUTER)
    # As on the router: whatever a driver takes from libstdc++ is linked in,
    # so the shared library is never loaded.
    target_link_options(${T_NAME} PRIVATE -static-libstdc++ -static-libgcc)
  endif()
endfunction()

# kestrel_add_fuzzer(NAME name SOURCES a.cpp)
# A libFuzzer target (fuzz preset only), run by ctest inside the sandbox,
# since the code under test may touch fixed paths: first every seed of the
# committed corpus corpus/<name>/ beside the calling CMakeLists.txt is
# replayed, then the target fuzzes for KESTREL_FUZZ_SECONDS from those seeds,
# keeping what it finds in a scratch copy (the seeds are only read).
function(kestrel_add_fuzzer)
  cmake_parse_arguments(T "" "NAME" "SOURCES" ${ARGN})
  if(NOT KESTREL_FUZZ)
    return()
  endif()
  set(corpus ${CMAKE_CURRENT_SOURCE_DIR}/corpus/${T_NAME})
  if(NOT IS_DIRECTORY ${corpus})
    message(FATAL_ERROR "fuzz target ${T_NAME} has no seed corpus ${corpus}")
  endif()
  add_executable(fuzz_${T_NAME} ${T_SOURCES})
  target_link_libraries(fuzz_${T_NAME} PRIVATE kestrel)
  target_link_options(fuzz_${T_NAME} PRIVATE -fsanitize=fuzzer)
  add_test(NAME fuzz.${T_NAME}
           COMMAND ${KESTREL_SANDBOX} -- bash ${CMAKE_SOURCE_DIR}/tests/support/run_fuzzer.sh
                   $<TARGET_FILE:fuzz_${T_NAME}> ${corpus} ${KESTREL_FUZZ_SECONDS})
  set_tests_properties(fuzz.${T_NAME} PROPERTIES LABELS fuzz ENVIRONMENT "${KESTREL_TEST_ENV}"
                       TIMEOUT 300)
endfunction()
