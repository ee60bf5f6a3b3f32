// SPDX-License-Identifier: ISC
// Random bytes no peer or local user can predict.
#pragma once

#include <cstddef>

namespace kestrel {

// n bytes from the kernel's random source: getrandom, or /dev/urandom where
// the kernel predates it.  False when neither gives them.
bool kernel_random(unsigned char* out, std::size_t n);

}  // namespace kestrel
