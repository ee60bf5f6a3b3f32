// SPDX-License-Identifier: ISC
/* The router's key/value configuration store (read only).  The router's
 * own store library may stand in for the file-backed one shipped here. */
#ifndef KESTREL_CONFIG_H
#define KESTREL_CONFIG_H

#ifdef __cplusplus
extern "C" {
#endif

/* Value of key, never null; "" when the key is not set.  Copy it at once. */
char* config_get(const char* key);

/* Non-zero when the key's value equals value; an unset key matches "". */
int config_match(const char* key, const char* value);

#ifdef __cplusplus
}
#endif

#endif
