// SPDX-License-Identifier: ISC
/* Small string routines.  The three that return text keep it in a static
 * 512-byte buffer of their own, valid until their next call; a null
 * argument gives "". */
#ifndef KESTREL_TEXT_H
#define KESTREL_TEXT_H

#ifdef __cplusplus
extern "C" {
#endif

/* The first 511 characters of str without any comma ("1,234" gives "1234"). */
char* del_comma_str(const char* str);

/* The first 511 characters of string_value, cut at the first CR or LF. */
char* string_tail_linebreak_strip(const char* string_value);

/* The first 511 characters of string_value without the first character. */
char* string_head_space_strip(const char* string_value);

/* First token of str split at '%' (str is cut in place); null when str is
 * null or holds no token. */
char* parse_parmetrs(char* str);

/* Copies field num (from 1) of input, fields ended by symbol, into output:
 * at most size characters, not terminated (pass a zero-filled buffer of
 * size + 1 bytes).  Nothing is copied for a missing or empty field. */
void get_data_from_string(const char* input, char* output, char symbol, int num, int size);

#ifdef __cplusplus
}
#endif

#endif
