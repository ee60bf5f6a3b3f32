// Signed updates: once the router carries the public key (build constant
// signing_key), the control file and the payload count only with a valid
// signature fetched from the same server, and the control file must name
// this router's module and path.  Without the key nothing changes.
#pragma once

#include <cstddef>

#include "updater/updater.h"

namespace kestrel {

enum class signing_key {
    none,      // nothing at the key's path: updates are not signed
    usable,    // a public key: every update must be signed with it
    unusable,  // something else (a dangling link, an empty or foreign file): every update refused
};

// What is at the key's path; an unusable key is logged.
signing_key signing_key_state();
// The file holds one public key as usign and signify write it.
bool public_key_text_ok(const char* text, std::size_t len);

// Called right before a fetched control file is narrowed: keeps the bytes as
// published beside it (a second link, which the narrowing's rename leaves).
void keep_published_copy(const char* path);
// The name it keeps them under.
bool published_copy_path(const char* path, char* out, std::size_t size);

// A fetched signature file (local name ending in ".sig").
bool is_signature_path(const char* path);
// The file holds exactly one signature as usign and signify write it: the
// "untrusted comment: " line, then the 74-byte Ed25519 signature in base64.
bool signature_file_ok(const char* path);
bool signature_text_ok(const char* text, std::size_t len);

// Fetches server_path + ".sig" to sig_path with the dispatcher's schedule
// and checks file against it with usign.  True only for a good signature;
// each refusal is logged with its reason.
bool signature_verified(const char* host, const char* server_path, const char* file, const char* sig_path);

// The control file's [Release] section names module and the directory
// file_path + module + "/" (as the router asks for it); else logged, false.
bool release_bound_here(const control_record& rec, const char* module, const char* file_path);

}  // namespace kestrel
