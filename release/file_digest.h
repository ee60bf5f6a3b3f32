// SPDX-License-Identifier: ISC
// A file's digest as the system's md5sum or sha256sum prints it (busybox's
// on the router): the daemon checks with it, the publisher writes it.
#pragma once

#include <cstddef>

namespace kestrel {

// Runs tool on file with its output in scratch (removed again); digest gets
// the first `digits` characters of the output, lower-case hex.  False when
// the tool did not run or printed no such digest.
bool file_digest(const char* tool, const char* file, const char* scratch, char* digest, std::size_t digits);

}  // namespace kestrel
