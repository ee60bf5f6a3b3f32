// The name-server list of the resolver, read afresh for every lookup.
#pragma once

namespace kestrel {

constexpr int dns_max_servers = 3;
constexpr int dns_server_size = 32;

using dns_server_list = char[dns_max_servers][dns_server_size];

// Stores the address token of the first three "nameserver" lines of path in
// the order read, the line feed that follows the address included, and
// returns how many were stored; 0 when the file cannot be opened.
int read_name_servers(const char* path, dns_server_list& dnsl);

}  // namespace kestrel
