// SPDX-License-Identifier: ISC
// The narrowing as the update run calls it.
#pragma once

namespace kestrel {

// The narrowing of kol_iconv (<kestrel/narrow.h>), under its own name;
// C++ linkage keeps it apart from the C library's iconv.
int iconv(const char* filename);

}  // namespace kestrel
