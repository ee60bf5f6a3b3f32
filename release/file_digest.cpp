// SPDX-License-Identifier: ISC
#include "release/file_digest.h"

#include <unistd.h>

#include <cstring>

#include <kestrel/log.h>
#include "internal/shell_command.h"
#include "internal/text_builder.h"

namespace kestrel {

bool file_digest(const char* tool, const char* file, const char* scratch, char* digest, std::size_t digits) {
    char cmd[1024];
    text_builder line(cmd);
    line.raw(tool).raw(" ").quoted(file).raw(" > ").quoted(scratch);
    bool ran = run_command(line).succeeded();
    const char* out = cat_file(scratch);
    ::unlink(scratch);
    // The digest, then a blank: nothing shorter or longer counts.
    if (!ran || std::strspn(out, "0123456789abcdef") != digits || out[digits] != ' ') return false;
    std::memcpy(digest, out, digits);
    digest[digits] = '\0';
    return true;
}

}  // namespace kestrel
