// The release published under a server's document root, read as a router
// reads it.
#pragma once

#include "updater/updater.h"

namespace kestrel {

// The control file at path, narrowed to single bytes and parsed by the
// router's own parser.  False when it cannot be read at all.
bool read_published_control(const char* path, control_record& rec);

}  // namespace kestrel
