// SPDX-License-Identifier: ISC
// Writing the control file's text, as the publisher lays it out and as
// read_control_record reads it back.
#pragma once

#include <cstddef>

namespace kestrel {

// Every value of a release.  rollout < 0 and expires == 0 leave their line
// out.
struct release_fields {
    const char* file;
    const char* md5;
    const char* size;
    const char* module;
    const char* path;
    int rollout;
    const char* sha256;
    const char* payload;
    unsigned long long seq;
    unsigned long long issued;
    unsigned long long expires;
};

// The text up to the "[Signatures]" line; false when it does not fit.
bool format_control_text(const release_fields& f, char* out, std::size_t size);

// What a rollout change or a refresh sets; every other line stays as it was.
struct release_update {
    int rollout;  // < 0: as it was
    unsigned long long seq;
    unsigned long long issued;
    unsigned long long expires;  // 0: no expires line
};

// text (without its signatures) with the [Release] section's rollout, seq,
// issued and expires lines replaced, added at the section's end where
// missing, or taken out; the length written in out_len.  False when there
// is no [Release] section or out is too small.
bool update_control_text(const char* text, std::size_t len, const release_update& u, char* out, std::size_t size,
                         std::size_t& out_len);

}  // namespace kestrel
