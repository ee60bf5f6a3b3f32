// SPDX-License-Identifier: ISC
/* Forced into every C++ unit of the router build: libstdc++'s headers were
 * configured for glibc and test its version; musl is no glibc. */
#ifndef __GLIBC_PREREQ
#define __GLIBC_PREREQ(major, minor) 0
#endif
