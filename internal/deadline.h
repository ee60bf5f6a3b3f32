// SPDX-License-Identifier: ISC
// Deadlines on the monotonic clock, for the waits that must end.
#pragma once

#include <time.h>

namespace kestrel {

// Time left until deadline (CLOCK_MONOTONIC); false when it has passed.
bool time_left(const timespec& deadline, timespec& left);

}  // namespace kestrel
