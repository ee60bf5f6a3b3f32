// Control connection of the FTP client: connecting, commands and replies.
#pragma once

#include <cstddef>

namespace kestrel {

// Every reply is read into a buffer of this size; commands are composed in
// one of the same size.
inline constexpr std::size_t ftp_buf_size = 2048;
using ftp_reply_buf = char[ftp_buf_size];

// Seconds every socket of the client may block in a read or a write.
inline constexpr int ftp_sock_timeout = 60;
// Seconds allowed for the TCP connection to the server.
inline constexpr int ftp_connect_timeout = 5;
inline constexpr unsigned short ftp_port = 21;

// Connected control socket (blocking, with the socket timeouts) or -1.
// The configuration key oru_ftp_ip, when set, overrides the host's address.
int ftp_connect(const char* host);

// Sends string and the further strings up to the first null pointer as one
// line in one write.  A line that would not fit the command buffer is not
// sent at all: the result is then 0, else 1.
int send_control(int sock, const char* string, ...) __attribute__((sentinel));

// Last line of a complete reply, inside buf and without its line ending, or
// null when no complete reply could be read.
char* get_line(int ctlsock, ftp_reply_buf& buf);

// True when the first three characters of buf are those of numeric.
int check_numeric(const char* numeric, const char* buf);

// Abandons the exchange: "QUIT\r\n" in one write, no reply read.
void ftp_quit(int ctlsock);

// 60-second send and receive timeouts; failures are ignored.
void set_timeo(int sock);

// Copies src with its NUL to dest; returns the characters copied, NUL not
// counted.  dest must have room (send_control checks before it appends).
int lstrcpy(char* dest, const char* src);

// send_control of verb (and arg with "\r\n" when arg is not null), then
// get_line; null when the line was refused or no reply came.
char* ftp_command(int sock, ftp_reply_buf& buf, const char* verb, const char* arg);

}  // namespace kestrel
