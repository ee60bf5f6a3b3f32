// SPDX-License-Identifier: ISC
// Any file content: the narrowing must not crash, and a converted file is
// never longer than half its input plus one byte per chunk.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "unicode/narrow_utf16.h"

using namespace kestrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* path = "/tmp/fuzz-fileinfo.txt";
    FILE* f = std::fopen(path, "wb");
    if (!f) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    if (iconv(path) != 1) std::abort();
    f = std::fopen(path, "rb");
    if (!f) std::abort();
    std::fseek(f, 0, SEEK_END);
    long out = std::ftell(f);
    std::fclose(f);
    bool marked = size >= 2 && ((data[0] == 0xFF && data[1] == 0xFE) || (data[0] == 0xFE && data[1] == 0xFF));
    size_t limit = marked ? (size - 2) / 2 + (size - 2) / 4096 + 1 : size;
    if (static_cast<size_t>(out) > limit) std::abort();
    return 0;
}
