// Addresses of the router's own interfaces and of its upstream gateway.
#pragma once

#include <netinet/in.h>

// MAC of interface ifname as "00:1A:2B:3C:4D:5E" in eabuf (18 bytes or more);
// "" when it cannot be had.  Returns eabuf.
char* get_macaddr(const char* ifname, char* eabuf);

// IPv4 address of interface ifname; 0.0.0.0 when it cannot be had.
in_addr get_ipaddr(const char* ifname);

// Issues the interface request cmd for ifname and returns the IPv4 address
// of the reply, or 0.0.0.0.
in_addr get_pa(const char* ifname, unsigned long cmd);

// Writes the six bytes at e as MAC text (17 characters and a NUL) into a.
void ether_etoa(const unsigned char* e, char* a);

// Gateway (or point-to-point peer) of the WAN side as dotted text, in the
// shared buffer of cat_file; "" when none is found.
char* get_gateway_ip();

// MAC text of neighbour ip from the ARP table, in a static buffer that the
// next call overwrites; "" when ip is not listed.
char* get_gateway_mac(const char* ip);

// One /proc/net/arp line: when its address is exactly ip, copies its HW
// address (at most 17 characters) into mac and returns true.  Cuts line.
bool arp_line_mac(char* line, const char* ip, char* mac);
