// Operations of the update run.
#pragma once

#include <cstddef>

namespace kestrel {

inline constexpr const char dbg_pid[] = "/var/run/kestreld.pid";

inline constexpr const char control_file_path[] = "/tmp/fileinfo.txt";
inline constexpr const char payload_path[] = "/tmp/dbg-gen.cfg";
// The payload lands here first and replaces payload_path only once verified.
inline constexpr const char payload_staging_path[] = "/tmp/dbg-gen.cfg.new";
inline constexpr const char md5_record_path[] = "/tmp/dbg_md5";
inline constexpr const char recorded_version_path[] = "/tmp/dbg_log_collect/dbg_version";
// The next record is written here and renamed onto recorded_version_path.
inline constexpr const char recorded_version_temp_path[] = "/tmp/dbg_log_collect/dbg_version.new";
// Left by older runs, which kept the version found newer here; the cleanup
// still removes it.
inline constexpr const char pending_version_path[] = "/tmp/dbg_version";
// Digest file of check_md5.
inline constexpr const char digest_path[] = "/tmp/md5";

// Control file and version decision.
using ctl_value = char[128];
using version_text = char[32];  // at most 31 characters
void parse_fileinfo(const char* path, const char* tag, ctl_value& file, ctl_value& md5, ctl_value& size);
// False when the value did not fit and was cut.
bool extract_value(const char* line, ctl_value& val);
// 1: the published version is newer; it is left in newer (in memory only,
// until its install is done) and the MD5 record is written.
int parse_ctl(version_text& newer);
// The published version: the text after the first upper-case V of the file
// value's last path component, up to a blank.  1 and version filled, or 0
// when the file value names no version that fits.
int published_version(const char* file_value, version_text& version);
int new_version(const char* newVer);
int cmp_version(const char* cur, const char* newer);
// Makes version the recorded one, by rename; call only once the payload is
// installed and the service restarted.  False (and logged) when it failed,
// the old record then left whole.
bool record_version(const char* version);

// Retrieval.
int ra_transfer_file(const char* host, const char* file_path, const char* local_location);
int http_transfer(const char* path, const char* file);

// Integrity.
int check_md5(const char* fileName, const char* md5file);

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
