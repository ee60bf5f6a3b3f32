// SPDX-License-Identifier: ISC
#include "updater/clock_check.h"

#include <sys/timex.h>

namespace kestrel {

bool clock_synchronized() {
    timex tx{};  // modes 0: only reads
    int state = ::adjtimex(&tx);
    return state != -1 && state != TIME_ERROR;
}

}  // namespace kestrel
