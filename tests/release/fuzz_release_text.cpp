// SPDX-License-Identifier: ISC
// Any control file: the [Signatures] reader, the [Release] reader and a
// refresh's rewrite stay within their buffers and agree with each other.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "../support/file_util.h"
#include "release/control_record.h"
#include "release/control_text.h"
#include "release/release_names.h"
#include "release/signature_block.h"

using namespace kestrel;


extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    signature_block block;
    signatures_read r = read_signature_block(text, size, block);
    if (block.signed_length > size || block.count > max_signatures) std::abort();
    if (r == signatures_read::none && (block.signed_length != size || block.count)) std::abort();
    std::size_t end = block.signed_length;
    for (std::size_t i = 0; i < block.count; ++i) {
        const signature_entry& e = block.entries[i];
        if (e.offset < end || e.offset + e.length > size || std::strlen(e.key) > 16) std::abort();
        end = e.offset + e.length;
    }
    // Nothing after the "[Signatures]" line but the pairs.
    if (r == signatures_read::ok && (block.count ? end != size : size - block.signed_length > 14)) std::abort();

    write_file("/tmp/fuzz-ctl", std::string(text, block.signed_length));
    control_record rec;
    read_control_record("/tmp/fuzz-ctl", rec);
    if (rec.sha256[0] && !is_sha256_text(rec.sha256)) std::abort();
    if (std::strlen(rec.payload) >= sizeof rec.payload || std::strlen(rec.module) >= sizeof rec.module) std::abort();

    // A refresh of what was read: the new numbers are what a router reads.
    static char out[70000];
    std::size_t len = 0;
    release_update u{-1, 123456789, 42, 7};
    // The reader takes lines of up to 511 bytes and stops at a NUL byte;
    // within that, a refresh and a router agree.
    bool plain_lines = !std::memchr(text, '\0', block.signed_length);
    for (std::size_t start = 0; plain_lines && start < block.signed_length;) {
        const void* nl = std::memchr(text + start, '\n', block.signed_length - start);
        std::size_t end = nl ? static_cast<std::size_t>(static_cast<const char*>(nl) - text) + 1 : block.signed_length;
        plain_lines = end - start < 500;
        start = end;
    }
    if (plain_lines && update_control_text(text, block.signed_length, u, out, sizeof out, len)) {
        if (len > sizeof out) std::abort();
        write_file("/tmp/fuzz-ctl", std::string(out, len));
        control_record again;
        read_control_record("/tmp/fuzz-ctl", again);
        if (again.has_release && rec.has_release && !again.release_cut && again.seq.present &&
            again.seq.value != u.seq)
            std::abort();
    }
    return 0;
}
