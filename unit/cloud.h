// Calls to the device-location cloud service, made with curl in the
// background and authenticated with the router's cloud-agent identity.
#pragma once

// First line printed by "kq -s KEY", in the shared buffer of cat_file.
char* get_value_from_kq(const char* string);

// Starts the resolve request; its reply lands in /tmp/mBrisk_MAXmind.
void get_wanip_info();

// Starts the time request; its reply lands in /tmp/mBrisk_time.
void get_current_time();

// Starts the time request, waits 3 s and sets the clock from the reply when
// it has both timestamp and zoneOffset.
void set_current_time();

// Service host for an agent id: "DEV-" development, "QA-" QA, else production.
const char* location_host(const char* agent_id);

// What the time reply told so far.
struct time_reply {
    long timestamp = 0;
    long offset = 0;
    bool have_timestamp = false;
    bool have_offset = false;
};

// Takes one line of the time reply into reply.  Cuts line.
void time_reply_line(char* line, time_reply& reply);
