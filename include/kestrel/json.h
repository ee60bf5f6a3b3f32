// SPDX-License-Identifier: ISC
/* Reading a JSON file into a cJSON tree and looking members up by name. */
#ifndef KESTREL_JSON_H
#define KESTREL_JSON_H

#include <cjson/cJSON.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Root of the parsed tree of the whole file, owned by the caller (release
 * with cJSON_Delete); null when the file cannot be read or does not parse. */
cJSON* getJSONcode(const char* filename);

/* From object along its next siblings (pass the first member of an object),
 * the first item whose key is exactly string: its valuestring (null for a
 * member that is not a string), or "" when none matches.  Items without a
 * key (array elements) never match; a null object or key gives "". */
char* getobjectvalue(const cJSON* object, const char* string);

/* The same search; the item's valueint, or 0 when none matches. */
int getobjectvalueint(const cJSON* object, const char* string);

#ifdef __cplusplus
}
#endif

#endif
