// SPDX-License-Identifier: ISC
// Keys and signatures as usign writes them: an "untrusted comment: " line,
// then one line of base64 holding "Ed", the key's 8-byte number and the
// key or signature.
#pragma once

#include <cstddef>

namespace kestrel {

// A key's fingerprint as usign names it: its number in lower-case hex
// without leading zeros.
using key_fingerprint = char[17];

bool public_key_text_ok(const char* text, std::size_t len);
bool signature_text_ok(const char* text, std::size_t len);
// The fingerprint of the key a well-formed key or signature text names.
bool fingerprint_of(const char* text, std::size_t len, key_fingerprint& fp);

}  // namespace kestrel
