/* Host name to IPv4 address through the name servers of /tmp/resolv.conf. */
#ifndef KESTREL_RESOLV_H
#define KESTREL_RESOLV_H

#ifdef __cplusplus
extern "C" {
#endif

/* Address in network byte order; 0 when the host cannot be resolved.  A
 * dotted address is returned as it is, without any query. */
unsigned int resolve_dns(const char* host);

#ifdef __cplusplus
}
#endif

#endif
