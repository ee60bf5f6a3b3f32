// SPDX-License-Identifier: ISC
/* Narrowing of a UTF-16 text file (with byte-order mark) to single bytes.
 * Named kol_iconv so that it never stands in for the C library's iconv(3). */
#ifndef KESTREL_NARROW_H
#define KESTREL_NARROW_H

#ifdef __cplusplus
extern "C" {
#endif

/* Converts filename in place when it starts with FF FE or FE FF: each
 * 4096-byte chunk keeps every other byte (the low byte of each code unit)
 * and drops zero bytes; the result replaces the file with one rename.
 * 1: the file is fit to read (converted, not UTF-16, or filename is null).
 * 0: it could not be read, or the converted text could not replace it; the
 *    file is then left as it was.  The converted text is written to a new
 *    file beside filename (same name plus a random suffix), made exclusively,
 *    with filename's permission bits. */
int kol_iconv(const char* filename);

#ifdef __cplusplus
}
#endif

#endif
