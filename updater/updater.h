// SPDX-License-Identifier: ISC
// Operations of the update run.
#pragma once

#include <cstddef>

#include "release/control_record.h"
#include "release/version_order.h"

namespace kestrel {

inline constexpr const char dbg_pid[] = "/var/run/kestreld.pid";

// The installed payload; every other file of a run lives in its private
// directory (updater/run_dir.h) until then.
inline constexpr const char payload_path[] = "/tmp/dbg-gen.cfg";
inline constexpr const char record_dir_path[] = "/tmp/dbg_log_collect";
inline constexpr const char recorded_version_path[] = "/tmp/dbg_log_collect/dbg_version";

// Caps on what a download may write, whatever the server announces.
inline constexpr long long control_file_cap = 64 * 1024;

// Control file and version decision.
void parse_fileinfo(const char* path, const char* tag, ctl_value& file, ctl_value& md5, ctl_value& size);
// The published version in version, compared with recorded: 1 newer, 0
// not, -1 when the control file names none (each logged).
int compare_published(const control_record& rec, const char* recorded, version_text& version);
// 1: the published version is newer than the recorded one; it is left in
// newer (in memory only, until its install is done) and the MD5 record is
// written to md5_record.
int parse_ctl(const control_record& rec, const char* md5_record, version_text& newer);
// The published version: the text after the first upper-case V of the file
// value's last path component, up to a blank.  1 and version filled, or 0
// when the file value names no version that fits.
int published_version(const char* file_value, version_text& version);
// Makes version the recorded one, by rename; call only once the payload is
// installed and the service restarted.  False (and logged) when it failed,
// the old record then left whole.
bool record_version(const char* version);

// Retrieval.  Every HTTPS request runs curl with these options, followed by
// the run's User-Agent (updater/user_agent.h).
inline constexpr const char curl_command[] = "curl -k -L -g -Y 1 -y 30 --connect-timeout 20 -A ";
// scheme://host+path (default_host when host is ""), an IPv6 address host in
// brackets; false (and logged) when it does not fit.
bool compose_url(char (&url)[512], const char* scheme, const char* host, const char* default_host,
                 const char* file_path);
// Nothing larger than cap bytes is ever accepted, and nothing
// much larger ever written.
// over_ftp, when given, tells which transport brought the file.
int ra_transfer_file(const char* host, const char* file_path, const char* local_location, long long cap,
                     bool* over_ftp = nullptr);
int http_transfer(const char* path, const char* file, long long cap);

// Integrity.  md5sum's output goes beside fileName.
int check_md5(const char* fileName, const char* md5file);
// sha256sum's digest of file is sha256 (64 lower-case hex digits); else
// logged, false.  Its output goes beside file.
bool check_sha256(const char* file, const char* sha256);

// Connectivity probe.
int kol_ping(int count, const char* host, const char* output, int background);
int is_valid_ipaddr(const char* str);
void strupr(char* str);
// Error file of a probe writing to output: output + "_error" under /tmp/,
// else /tmp/ping_error.  False when the name does not fit.
bool ping_error_file(const char* output, char* dst, std::size_t size);
// The probe's verdict from the first lines of ping's stderr and stdout.
int ping_judge(const char* error_line, const char* output_line);

}  // namespace kestrel
