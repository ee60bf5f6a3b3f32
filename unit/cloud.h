// SPDX-License-Identifier: ISC
// Internal steps of the device-location calls, open to the tests.
#pragma once

namespace kestrel {

// Service host for an agent id: "DEV-" development, "QA-" QA, else production.
const char* location_host(const char* agent_id);

// What the time reply told so far.
struct time_reply {
    long timestamp = 0;
    long offset = 0;
    bool have_timestamp = false;
    bool have_offset = false;
};

// Takes one line of the time reply into reply.  Cuts line.
void time_reply_line(char* line, time_reply& reply);

}  // namespace kestrel
