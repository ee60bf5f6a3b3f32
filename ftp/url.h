// SPDX-License-Identifier: ISC
// Parsed form of an ftp:// URL.
#pragma once

namespace kestrel {

struct ftp_url {
    char* url_buf;         // own copy of the URL (heap); the parse cuts it with NULs
    const char* full_url;  // the URL as the caller passed it, for display
    const char* username;  // "anonymous" when the URL names no user
    const char* password;  // "" when the URL carries none
    char* host;            // inside url_buf, may be empty; an IPv6 address without its brackets
    char* path;            // directory for CWD, inside url_buf; null when none
    char* file;            // remote file name, inside url_buf; never empty
};

// Non-zero when string is an acceptable URL and *u is filled; the caller
// then frees u->url_buf.  On failure nothing is left allocated.
int url_init(ftp_url* u, const char* string);

// The steps of url_init; each takes the rest left by the one before and
// returns the new rest, or null when the URL is refused.
char* get_ftp_type(char* rest);
char* get_auth(ftp_url* u, char* rest);
char* get_hostname(ftp_url* u, char* rest);
char* get_path(ftp_url* u, char* rest);
char* get_file(ftp_url* u, char* rest);

}  // namespace kestrel
