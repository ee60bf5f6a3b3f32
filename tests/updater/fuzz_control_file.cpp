// SPDX-License-Identifier: ISC
// Any control file and any recorded version: parsing and the version order
// must stay within their buffers, and the decision must agree with the order.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "../support/file_util.h"
#include "internal/kol_log.h"
#include "updater/signature.h"
#include "updater/updater.h"

using namespace kestrel;

namespace {
constexpr const char control_file_path[] = "/tmp/fileinfo.txt";
constexpr const char md5_record_path[] = "/tmp/dbg_md5";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = (::mkdir("/tmp/dbg_log_collect", 0755), true);
    (void)ready;
    // First line: the recorded version; the rest: the control file.
    const uint8_t* nl = static_cast<const uint8_t*>(std::memchr(data, '\n', size));
    size_t head = nl ? static_cast<size_t>(nl - data) : 0;
    const char* text = reinterpret_cast<const char*>(data);
    write_file(recorded_version_path, std::string(text, head));
    write_file(control_file_path, std::string(text + (nl ? head + 1 : 0), size - (nl ? head + 1 : 0)));
    std::remove(md5_record_path);
    control_record rec;
    read_control_record(control_file_path, rec);
    // Every [Release] value stays within its buffer; a bound release names
    // exactly this router's place.
    if (std::strlen(rec.module) >= sizeof rec.module || std::strlen(rec.path) >= sizeof rec.path ||
        std::strlen(rec.rollout) >= sizeof rec.rollout)
        std::abort();
    refusal_text why;
    if (release_bound_here(rec, "abc", "/p/", why) &&
        (std::strcmp(rec.module, "abc") || std::strcmp(rec.path, "/p/abc/")))
        std::abort();

    // A record over 31 characters counts as none.
    std::string recorded = cat_file(recorded_version_path);
    if (recorded.size() > 31) recorded.clear();
    version_text found;
    int r = parse_ctl(rec, md5_record_path, found);
    if (r != 1 && r != 0 && r != -1) std::abort();
    // The MD5 record is written exactly when a newer version is found.
    if ((::access(md5_record_path, F_OK) == 0) != (r == 1)) std::abort();
    if (r == 1) {
        if (cmp_version(recorded.c_str(), found) != 1) std::abort();
        // The order is strict: never both newer and older.
        if (cmp_version(found, recorded.c_str()) != 0) std::abort();
    } else if (found[0] != '\0') {
        std::abort();
    }
    return 0;
}
