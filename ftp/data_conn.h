// Data connections beside a control connection: passive (PASV) and active (PORT).
#pragma once

#include <netinet/in.h>

namespace kestrel {

// New TCP socket bound to the control connection's local address, port 0,
// with the socket timeouts; -1 on failure.  *sa holds the requested address.
int sock_init(sockaddr_in* sa, int ctlsock);

// Data socket connected to the address of the server's 227 reply, or -1.
int get_passive_sock(int ctlsock);

// Listening data socket whose PORT the server accepted with 200, or -1.
int get_sock(int ctlsock);

// One decimal number of a reply; moves *string past it and one separator,
// or to null at the end of the text.
int numeric(char** string);

// Reads h1,h2,h3,h4,p1,p2 of a 227 reply line into *sa (low 8 bits of each
// number).  False when no digit follows the reply code.
bool pasv_address(char* reply, sockaddr_in* sa);

// "PORT h1,h2,h3,h4,p1,p2\r\n" for sa into line; false when it does not fit.
bool port_command(char* line, unsigned size, const sockaddr_in& sa);

// Passive first, then active.  *passive tells which; -1 when both failed
// (the caller then sends QUIT).
int open_data_conn(int ctlsock, int* passive);

// In active mode: accepts the server's connection and closes the listening
// socket.  The connected socket, or -1.
int accept_data_conn(int listen_sock);

}  // namespace kestrel
