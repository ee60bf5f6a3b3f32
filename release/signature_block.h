// SPDX-License-Identifier: ISC
// The "[Signatures]" section that ends a signed control file: pairs of lines,
// each exactly a usign signature file, over every byte before the
// "[Signatures]" line.
#pragma once

#include <cstddef>

#include "release/signify_text.h"

namespace kestrel {

inline constexpr std::size_t max_signatures = 8;

struct signature_entry {
    std::size_t offset;  // of the pair in the text
    std::size_t length;  // both lines with their line endings
    key_fingerprint key;
};

struct signature_block {
    std::size_t signed_length;  // up to and including the line ending before "[Signatures]"
    std::size_t count;
    signature_entry entries[max_signatures];
};

enum class signatures_read {
    none,       // no "[Signatures]" line: the whole text, unsigned
    ok,
    malformed,  // something after the line that is not a signature
    too_many,   // more than max_signatures
};

signatures_read read_signature_block(const char* text, std::size_t len, signature_block& block);

}  // namespace kestrel
