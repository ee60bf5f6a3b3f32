// SPDX-License-Identifier: ISC
/* FTP client: download of one ftp:// URL, and directory listings. */
#ifndef KESTREL_FTP_H
#define KESTREL_FTP_H

#ifdef __cplusplus
extern "C" {
#endif

/* Downloads url (ftp://[user[:password]@]host/path/file) into ofile (the
 * remote file name when null), drawing a progress meter on stderr and
 * reporting percentages to dl_status when it is not null.
 * 1: the whole file arrived and was written; -1: SIZE was answered 550 and
 * the transfer never started; 0: any other failure. */
int ftp_transfer(const char* url, const char* ofile, void (*dl_status)(int));

/* Logs in anonymously to host, changes to path (unless null) and writes the
 * listing of it to filename; with a null filename only tests the login and
 * the directory.  1 on success, 0 on failure. */
int ftp_scan(const char* host, const char* path, const char* filename);

#ifdef __cplusplus
}
#endif

#endif
