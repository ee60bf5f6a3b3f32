// SPDX-License-Identifier: ISC
/* Host name to address through the name servers of /tmp/resolv.conf. */
#ifndef KESTREL_RESOLV_H
#define KESTREL_RESOLV_H

#ifdef __cplusplus
extern "C" {
#endif

/* IPv4 address in network byte order; 0 when the host cannot be resolved.
 * A dotted address is returned as it is, without any query. */
unsigned int resolve_dns(const char* host);

/* The addresses of a host in both families, each in the order received. */
struct resolv_addresses {
    int v4_count;
    unsigned int v4[4];          /* network byte order */
    int v6_count;
    unsigned char v6[4][16];     /* network byte order */
    unsigned int v6_scope[4];    /* interface of a literal's zone, else 0 */
};

/* Fills *out with the addresses of host and returns how many there are (0
 * when it cannot be resolved).  A dotted IPv4 address, or an IPv6 address
 * (bare or in brackets, with an optional zone such as %br-lan), is taken as
 * it is; a name gets up to four of each family: its A records, then its
 * AAAA records from the name server that answered for the A records. */
int resolve_dns_all(const char* host, struct resolv_addresses* out);

#ifdef __cplusplus
}
#endif

#endif
