// SPDX-License-Identifier: ISC
// Where a release lives on the server and what its files are called: the
// daemon asks for these names, the publisher writes them.
#pragma once

#include <cstddef>

namespace kestrel {

inline constexpr const char default_release_prefix[] = "/sw-apps/dbg_log_collect/";
inline constexpr const char control_file_name[] = "fileinfo.txt";
// The payload under its fixed name, for routers without a key.
inline constexpr const char payload_file_name[] = "dbg-gen.cfg";
// The payload under a name that never changes meaning: this prefix, then the
// first digits of its SHA-256.
inline constexpr const char digest_name_prefix[] = "dbg-gen.cfg.";
inline constexpr std::size_t digest_name_digits = 16;
inline constexpr std::size_t sha256_digits = 64;
// "dbg-gen.cfg." and 16 digits.
using digest_name = char[sizeof digest_name_prefix + digest_name_digits];

// The payload's name for a SHA-256 of 64 lower-case hex digits; false for
// anything else.
bool payload_digest_name(const char* sha256, digest_name& name);
// 64 lower-case hex digits, nothing else.
bool is_sha256_text(const char* text);

}  // namespace kestrel
