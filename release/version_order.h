// SPDX-License-Identifier: ISC
// The order of versions, as routers and the publisher compare them.
#pragma once

namespace kestrel {

// 1 when newer is a later version than cur, else 0.
int cmp_version(const char* cur, const char* newer);

}  // namespace kestrel
