// The router's key/value configuration store (read only).
#pragma once

// C linkage so that the router's own store library can stand in for ours.
extern "C" {
// Value of key, never null; "" when the key is not set.  Copy it at once.
char* config_get(const char* key);
// Non-zero when the key's value equals value; an unset key matches "".
int config_match(const char* key, const char* value);
}
