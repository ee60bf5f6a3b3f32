// SPDX-License-Identifier: ISC
// The name-server list of the resolver, read afresh for every lookup.
#pragma once

#include <netinet/in.h>

#include <kestrel/resolv.h>

namespace kestrel {

constexpr int dns_max_servers = 3;
// The longest IPv6 text (45), a zone of an interface name (16) and the
// line feed that follows.
constexpr int dns_server_size = 64;

using dns_server_list = char[dns_max_servers][dns_server_size];

// Stores the address token of the first three "nameserver" lines of path in
// the order read, the line feed that follows the address included, and
// returns how many were stored; 0 when the file cannot be opened.
int read_name_servers(const char* path, dns_server_list& dnsl);

// The IPv4 address (network byte order) that text starts with, read as far as
// the first white space: a stored server keeps its line feed, and a configured
// address its trailing blanks.  glibc's inet_addr stops there by itself, musl's
// refuses the whole text.  INADDR_NONE when there is no address.
unsigned int leading_address(const char* text);

// The IPv6 address that text starts with, bare or in brackets, with an
// optional zone ("%br-lan" or "%2") into *scope (0 without one), read as far
// as the first white space.  False when text holds no such address, or its
// zone names no interface.
bool ipv6_literal(const char* text, in6_addr* addr, unsigned* scope);

// *r from text when it is an address of either family, as leading_address
// and ipv6_literal read them (0.0.0.0 and :: count as none); false when it
// is no address.
bool address_literal(const char* text, resolv_addresses* r);

}  // namespace kestrel
