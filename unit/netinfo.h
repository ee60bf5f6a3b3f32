// SPDX-License-Identifier: ISC
// Internal steps of the interface and gateway routines, open to the tests.
#pragma once

#include <netinet/in.h>

namespace kestrel {

// Issues the interface request cmd for ifname and returns the IPv4 address
// of the reply, or 0.0.0.0.
in_addr get_pa(const char* ifname, unsigned long cmd);

// Writes the six bytes at e as MAC text (17 characters and a NUL) into a.
void ether_etoa(const unsigned char* e, char* a);

// One /proc/net/arp line: when its address is exactly ip, copies its HW
// address (at most 17 characters) into mac and returns true.  Cuts line.
bool arp_line_mac(char* line, const char* ip, char* mac);

}  // namespace kestrel
