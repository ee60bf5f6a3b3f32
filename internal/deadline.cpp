// SPDX-License-Identifier: ISC
#include "internal/deadline.h"

namespace kestrel {

bool time_left(const timespec& deadline, timespec& left) {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    left.tv_sec = deadline.tv_sec - now.tv_sec;
    left.tv_nsec = deadline.tv_nsec - now.tv_nsec;
    if (left.tv_nsec < 0) {
        left.tv_nsec += 1000000000L;
        --left.tv_sec;
    }
    return left.tv_sec >= 0 && (left.tv_sec > 0 || left.tv_nsec > 0);
}

}  // namespace kestrel
