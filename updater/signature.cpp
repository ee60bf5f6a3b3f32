// SPDX-License-Identifier: ISC
#include "updater/signature.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "build_config.h"
#include <kestrel/log.h>
#include "internal/kol_log.h"
#include "internal/shell_command.h"
#include "internal/text_builder.h"
#include "internal/unique_fd.h"
#include "release/signature_block.h"
#include "release/signify_text.h"
#include "updater/run_dir.h"

namespace kestrel {

namespace {

// The key file of routers built before the keys directory: where it is
// left and no key is in the directory, the router stays signed.
constexpr const char old_key_path[] = "/etc/kestrel/update.pub";
constexpr std::size_t key_file_max = 1024;

// Formats and logs a refusal's sentence; false, for the caller to return.
bool refuse(refusal_text& why, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
bool refuse(refusal_text& why, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(why, sizeof why, fmt, ap);
    va_end(ap);
    KOL_LOG("%s", why);
    return false;
}

// usign's exit status 127 is the shell's "not found", 126 "not executable".
bool tool_missing(int status) { return status == 127 || status == 126; }

// Reads a small open file whole; false when it is larger than size - 1
// bytes or cannot be read.
bool read_whole(int fd, char* buf, std::size_t size, std::size_t& len) {
    len = 0;
    for (;;) {
        ssize_t n = ::read(fd, buf + len, size - len);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        len += static_cast<std::size_t>(n);
        if (len == size) return false;
    }
}

bool write_whole(const char* path, const char* data, std::size_t len) {
    ::unlink(path);
    unique_fd fd(::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.valid()) return false;
    while (len > 0) {
        ssize_t n = ::write(fd.get(), data, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        len -= static_cast<std::size_t>(n);
    }
    return ::close(fd.release()) == 0;
}

// Why the directory's entry name is not a key of root's; null when it is.
const char* key_entry_fault(int dir, const char* name) {
    struct stat st;
    if (::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return "cannot be reached";
    if (!S_ISREG(st.st_mode)) return "not a regular file";
    if (st.st_uid != 0) return "not root's";
    if (st.st_mode & (S_IWGRP | S_IWOTH)) return "writable by others";
    unique_fd fd(::openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    char text[key_file_max];
    std::size_t len = 0;
    if (!fd.valid() || !read_whole(fd.get(), text, sizeof text, len)) return "cannot be read";
    key_fingerprint fp;
    if (!public_key_text_ok(text, len) || !fingerprint_of(text, len, fp)) return "not a public key";
    if (std::strcmp(fp, name) != 0) return "not named by its fingerprint";
    return nullptr;
}

}  // namespace

signing_keys signing_keys_state(refusal_text& why) {
    const char* keys = build_config::keys_dir;
    int found = 0;
    struct stat st;
    if (::lstat(keys, &st) == 0 || errno != ENOENT) {
        unique_fd dir_fd(::open(keys, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        DIR* dir = dir_fd.valid() ? ::fdopendir(dir_fd.get()) : nullptr;
        if (!dir) {
            refuse(why, "keys directory %s cannot be read: update refused", keys);
            return signing_keys::unusable;
        }
        const int dfd = dir_fd.release();  // closedir closes it
        // Whoever may remove its keys could turn the checks off.
        struct stat dst;
        if (::fstat(dfd, &dst) != 0 || dst.st_uid != 0 || (dst.st_mode & (S_IWGRP | S_IWOTH))) {
            ::closedir(dir);
            refuse(why, "keys directory %s is not root's alone: update refused", keys);
            return signing_keys::unusable;
        }
        const char* fault = nullptr;
        char name[256] = {};
        while (dirent* e = ::readdir(dir)) {
            if (e->d_name[0] == '.') continue;
            bounded_copy(name, sizeof name, e->d_name);
            fault = key_entry_fault(dfd, e->d_name);
            if (fault) break;
            ++found;
        }
        ::closedir(dir);
        // Anything there that is not a key means the router is meant to
        // check: it refuses every update rather than letting any through.
        if (fault) {
            refuse(why, "key %s/%s is %s: update refused", keys, name, fault);
            return signing_keys::unusable;
        }
    }
    if (found > 0) return signing_keys::usable;
    if (::lstat(old_key_path, &st) == 0 || errno != ENOENT) {
        refuse(why, "no key in %s, but %s is there: update refused", keys, old_key_path);
        return signing_keys::unusable;
    }
    return signing_keys::none;
}

bool control_signatures_verified(const char* control, const char* signed_text, const char* signature_file,
                                 const char* shown, unsigned needed, refusal_text& why) {
    // One file at a time; the cap keeps any control file whole.
    static char text[control_file_cap + 1];
    std::size_t len = 0;
    unique_fd in(::open(control, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!in.valid() || !read_whole(in.get(), text, sizeof text, len))
        return refuse(why, "cannot read the control file %s: update refused", shown);
    signature_block block;
    switch (read_signature_block(text, len, block)) {
        case signatures_read::none:
            return refuse(why, "control file %s carries no signatures: update refused", shown);
        case signatures_read::malformed:
            return refuse(why, "control file %s has a malformed signature: update refused", shown);
        case signatures_read::too_many:
            return refuse(why, "control file %s carries more than %zu signatures: update refused", shown,
                          max_signatures);
        case signatures_read::ok:
            break;
    }
    if (!write_whole(signed_text, text, block.signed_length))
        return refuse(why, "cannot keep the signed text of %s: update refused", shown);

    char errors[128];
    if (!beside(signed_text, "usign_error", errors, sizeof errors))
        return refuse(why, "no room for usign's errors: update refused");
    // Keys that verified, each counted once.
    key_fingerprint good[max_signatures];
    std::size_t good_count = 0;
    for (std::size_t i = 0; i < block.count; ++i) {
        const signature_entry& e = block.entries[i];
        char key[256];
        struct stat st;
        // A key this router does not hold neither counts nor refuses.
        if (!bounded_format(key, sizeof key, "%s/%s", build_config::keys_dir, e.key) || ::lstat(key, &st) != 0)
            continue;
        bool counted = false;
        for (std::size_t k = 0; k < good_count; ++k) counted = counted || std::strcmp(good[k], e.key) == 0;
        if (!write_whole(signature_file, text + e.offset, e.length))
            return refuse(why, "cannot keep a signature of %s: update refused", shown);
        char cmd[512];
        text_builder line(cmd);
        line.raw("usign -V -q -p ")
            .quoted(key)
            .raw(" -x ")
            .quoted(signature_file)
            .raw(" -m ")
            .quoted(signed_text)
            .raw(" 2>")
            .quoted(errors);
        command_result r = run_command(line);
        char reason[128];
        bounded_copy(reason, sizeof reason, cat_file(errors));
        ::unlink(errors);
        ::unlink(signature_file);
        if (r.ran && tool_missing(r.status))
            return refuse(why, "usign not found, cannot verify %s: update refused", shown);
        // A key of ours whose signature fails refuses, whatever others say.
        if (!r.succeeded()) {
            KOL_LOG("usign: %s", reason);
            return refuse(why, "bad signature by key %s for %s: update refused", e.key, shown);
        }
        if (!counted) bounded_copy(good[good_count++], sizeof good[0], e.key);
    }
    if (good_count < needed)
        return refuse(why, "%s is signed by %zu of this router's keys, %u needed: update refused", shown, good_count,
                      needed);
    KOL_LOG("signatures of %s verified", shown);
    return true;
}

bool release_bound_here(const control_record& rec, const char* module, const char* file_path, refusal_text& why) {
    char own_path[256 + 16 + 1];
    bounded_format(own_path, sizeof own_path, "%s%s/", file_path, module);
    if (!rec.has_release || rec.release_cut)
        return refuse(why, "control file names no release place: update refused");
    if (std::strcmp(rec.module, module) != 0 || std::strcmp(rec.path, own_path) != 0)
        return refuse(why, "release published for module %s at %s, not %s at %s: update refused", rec.module, rec.path,
                module, own_path);
    return true;
}

}  // namespace kestrel
