// SPDX-License-Identifier: ISC
// Control connection of the FTP client: connecting, commands and replies.
#pragma once

#include <cstddef>

namespace kestrel {

// Every reply is read into a buffer of this size; commands are composed in
// one of the same size.
inline constexpr std::size_t ftp_buf_size = 2048;
using ftp_reply_buf = char[ftp_buf_size];

// Seconds every socket of the client may block in a read or a write, and
// seconds a whole reply may take to arrive.
inline constexpr int ftp_sock_timeout = 60;
// Seconds allowed for the TCP connection to the server.
inline constexpr int ftp_connect_timeout = 5;
inline constexpr unsigned short ftp_port = 21;

// What the control connection delivered beyond the last reply taken: a read
// may bring the start of the next reply with the end of this one.  One per
// control connection, owned by the operation that owns the socket, zeroed
// before the greeting.
struct ftp_carry {
    char data[ftp_buf_size];
    std::size_t fill;  // bytes of data not yet framed
    char open_code[4];  // code of a multi-line reply begun, "" when none
    bool skipping;      // the rest of an over-long line is being dropped
};

// Connected control socket (blocking, with the socket timeouts) or -1.
// The configuration key oru_ftp_ip, when set, overrides the host's address.
int ftp_connect(const char* host);

// Sends string and the further strings up to the first null pointer as one
// line in one write.  A line that would not fit the command buffer is not
// sent at all: the result is then 0, else 1.
int send_control(int sock, const char* string, ...) __attribute__((sentinel));

// Takes the next complete reply out of what c holds: its final line, without
// line ending, copied into buf (cut to fit), and buf is returned; the bytes
// after that line stay in c.  Null when c holds no complete reply yet.
char* ftp_next_reply(ftp_carry& c, ftp_reply_buf& buf);

// At the end of the stream: an unterminated final line left in c is taken
// as a reply (buf returned), anything else is not (null).
char* ftp_last_reply(ftp_carry& c, ftp_reply_buf& buf);

// Final line of the next complete reply, inside buf and without its line
// ending, or null when none is complete within 60 seconds in all (or the
// server closed the connection, or a read failed).
char* get_line(int ctlsock, ftp_carry& c, ftp_reply_buf& buf);

// get_line with its own bound in milliseconds (0: only what already arrived).
char* get_line_within(int ctlsock, ftp_carry& c, ftp_reply_buf& buf, int timeout_ms);

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
char* ftp_command(int sock, ftp_carry& c, ftp_reply_buf& buf, const char* verb, const char* arg);

// Milliseconds of a monotonic clock, for deadlines.
long long ftp_now_ms();

}  // namespace kestrel
