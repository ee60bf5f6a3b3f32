// Signed updates: once the router carries the public key (build constant
// signing_key), the control file and the payload count only with a valid
// signature fetched from the same server.  Without the key nothing changes.
#pragma once

#include <cstddef>

namespace kestrel {

// Local names.  None contains "fileinfo.txt": the dispatcher would take such
// a file for a control file, narrow it and ask for the section tag.
inline constexpr const char control_published_path[] = "/tmp/fileinfo.published";
inline constexpr const char control_signature_path[] = "/tmp/fileinfo.sig";
inline constexpr const char payload_signature_path[] = "/tmp/dbg-gen.cfg.sig";
inline constexpr const char usign_error_path[] = "/tmp/usign_error";

bool signing_key_installed();

// Called right before a fetched control file is narrowed.  With a key
// installed it keeps the bytes as published under control_published_path: a
// second link to the file, which the narrowing replaces by a rename.
void keep_published_control_file(const char* path);

// A fetched signature file (local name ending in ".sig").
bool is_signature_path(const char* path);
// The file holds exactly one signature as usign and signify write it: the
// "untrusted comment: " line, then the 74-byte Ed25519 signature in base64.
bool signature_file_ok(const char* path);
bool signature_text_ok(const char* text, std::size_t len);

// Fetch server_path + ".sig" with the dispatcher's schedule and check the
// file with usign.  True at once, with nothing fetched or logged, when no key
// is installed; otherwise true only for a good signature (each refusal is
// logged with its reason).
bool control_file_signed(const char* host, const char* server_path);
bool payload_signed(const char* host, const char* server_path);

// Cleanup: the published copy and the signature files.
void remove_signature_files();

}  // namespace kestrel
