// SPDX-License-Identifier: ISC
/* Calls to the device-location cloud service, made with curl in the
 * background and authenticated with the router's cloud-agent identity. */
#ifndef KESTREL_LOCATION_H
#define KESTREL_LOCATION_H

#ifdef __cplusplus
extern "C" {
#endif

/* First line printed by "kq -s KEY", in the shared buffer of cat_file. */
char* get_value_from_kq(const char* string);

/* Starts the resolve request; its reply lands in /tmp/mBrisk_MAXmind. */
void get_wanip_info(void);

/* Starts the time request; its reply lands in /tmp/mBrisk_time. */
void get_current_time(void);

/* Starts the time request, waits 3 s and sets the clock from the reply when
 * it has both timestamp and zoneOffset. */
void set_current_time(void);

#ifdef __cplusplus
}
#endif

#endif
