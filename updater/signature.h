// SPDX-License-Identifier: ISC
// Signed updates: once the router holds a key in the keys directory (build
// constant keys_dir), a control file counts only when it ends in signatures
// of enough of those keys over the rest of it, and names this router's
// module and path.  Without a key nothing changes.
#pragma once

#include <cstddef>

#include "updater/updater.h"

namespace kestrel {

enum class signing_keys {
    none,      // no key: updates are not signed
    usable,    // every entry a key: every update must be signed
    unusable,  // an entry that is no key, or only the old key file: every update refused
};

// A refusal's sentence, logged where it is made.
using refusal_text = char[192];

// What the keys directory holds; why an unusable one is, in why.
signing_keys signing_keys_state(refusal_text& why);

// The narrowed control file's signatures: the text they sign is written to
// signed_text (the only part to be parsed), each signature in turn to
// signature_file.  True when `needed` different keys of the directory
// verify and no key of it fails; else why, naming shown (the server path).
bool control_signatures_verified(const char* control, const char* signed_text, const char* signature_file,
                                 const char* shown, unsigned needed, refusal_text& why);

// The control file's [Release] section names module and the directory
// file_path + module + "/" (as the router asks for it); else why, false.
bool release_bound_here(const control_record& rec, const char* module, const char* file_path, refusal_text& why);

}  // namespace kestrel
