// SPDX-License-Identifier: ISC
// Whether the router's clock can judge a release's expiry.
#pragma once

namespace kestrel {

// The kernel reports the clock synchronized: adjtimex does not answer
// TIME_ERROR, as it does until an NTP client (busybox ntpd) has set it.
bool clock_synchronized();

}  // namespace kestrel
