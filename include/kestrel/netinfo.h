// SPDX-License-Identifier: ISC
/* Addresses of the router's interfaces and of its upstream gateway. */
#ifndef KESTREL_NETINFO_H
#define KESTREL_NETINFO_H

#include <netinet/in.h>

#ifdef __cplusplus
extern "C" {
#endif

/* MAC of interface ifname as "00:1A:2B:3C:4D:5E" in eabuf (18 bytes or
 * more); returns eabuf, "" when the address cannot be had. */
char* get_macaddr(const char* ifname, char* eabuf);

/* IPv4 address of interface ifname; 0.0.0.0 when it cannot be had. */
struct in_addr get_ipaddr(const char* ifname);

/* Gateway (or point-to-point peer) of the WAN side as dotted text, in the
 * shared buffer of cat_file; "" when none is found.  The interface follows
 * the configuration keys ap_mode and wan_proto. */
char* get_gateway_ip(void);

/* MAC text of neighbour ip from the ARP table, in a static buffer that the
 * next call overwrites; "" when ip is not listed. */
char* get_gateway_mac(const char* ip);

#ifdef __cplusplus
}
#endif

#endif
