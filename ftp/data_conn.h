// SPDX-License-Identifier: ISC
// Data connections beside a control connection: passive (PASV, or EPSV over
// IPv6) and active (PORT, or EPRT over IPv6), and the rules every transfer
// over one obeys.
#pragma once

#include <cstddef>
#include <netinet/in.h>
#include <sys/types.h>

#include "ftp/control.h"
#include "internal/sock_addr.h"
#include "internal/unique_fd.h"

namespace kestrel {

// New TCP socket bound to the control connection's local address, port 0,
// with the socket timeouts; -1 on failure.  *sa holds the requested address.
int sock_init(sock_addr* sa, int ctlsock);

// Data socket connected to the port of the server's 227 reply (229 to EPSV
// over IPv6), at the control connection's peer address whatever address the
// reply names; -1 when the command is refused or the connect fails.
int get_passive_sock(int ctlsock, ftp_carry& c);

// Listening data socket whose PORT (EPRT over IPv6) the server accepted with
// 200, or -1.
int get_sock(int ctlsock, ftp_carry& c);

// One decimal number of a reply; moves *string past it and one separator,
// or to null at the end of the text.
int numeric(char** string);

// Reads h1,h2,h3,h4,p1,p2 of a 227 reply line into *sa (low 8 bits of each
// number).  False when no digit follows the reply code.
bool pasv_address(char* reply, sockaddr_in* sa);

// "PORT h1,h2,h3,h4,p1,p2\r\n" for sa into line; false when it does not fit.
bool port_command(char* line, unsigned size, const sockaddr_in& sa);

// The port of a 229 reply, "(|||port|)" with any printable non-digit for
// "|" (RFC 2428).  False when the reply holds no such port.
bool epsv_port(const char* reply, unsigned short* port);

// "EPRT |2|address|port|\r\n" for sa into line; false when it does not fit.
bool eprt_command(char* line, unsigned size, const sockaddr_in6& sa);

// Passive first, then active.  *passive tells which; -1 when both failed
// (the caller then sends QUIT).
int open_data_conn(int ctlsock, ftp_carry& c, int* passive);

// In active mode: accepts the server's connection, from the control
// connection's peer address only (others are closed and the wait goes on),
// within 60 seconds in all, and closes the listening socket.  The connected
// socket, or -1.
int accept_data_conn(int listen_sock, int ctlsock);

// A data connection that moves fewer than 30 bytes in 30 seconds in a row
// (1 byte per second) has stalled.
inline constexpr int data_stall_seconds = 30;
inline constexpr long long data_stall_bytes = 30;

// Bytes per second of the last 31 seconds of a transfer, as a ring.
struct data_rate {
    long long next_ms;  // when the next second begins
    unsigned seconds;   // whole seconds since the start, counted up to 30
    unsigned newest;    // the slot of the current second
    long long slot[data_stall_seconds + 1];
};

void data_rate_start(data_rate& r, long long now_ms);
// Counts n bytes arrived at now_ms.  False once the last 30 seconds (30 to
// 31, from the start of the second 30 seconds back) moved fewer than 30 bytes.
bool data_rate_ok(data_rate& r, long long now_ms, long long n);

// One read of at most size bytes from a data connection, waking every second
// to apply the rate rule: the bytes read, 0 when the server closed the
// connection, -1 on an error or a stall.
ssize_t data_read(int sock, char* buf, std::size_t size, data_rate& r);

// True for the final reply of a whole transfer: 226 or 250.
bool is_transfer_complete(const char* reply);

// Closes out and removes path, the output of a failed transfer, when it is
// a regular file (never a device given as the output).
void remove_failed_output(unique_file& out, const char* path);

}  // namespace kestrel
