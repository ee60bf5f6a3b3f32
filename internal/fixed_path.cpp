// SPDX-License-Identifier: ISC
#include "internal/fixed_path.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "internal/text_builder.h"
#include "internal/unique_fd.h"

namespace kestrel {

namespace {

// Deep enough for anything we make; a deeper tree is someone else's and may
// stay where it was moved.
constexpr int max_tree_depth = 8;

constexpr mode_t written_by_others = S_IWGRP | S_IWOTH;

// No other user can put or swap an entry in the directory holding path.
bool parent_guards(const char* path) {
    char dir[256];
    const char* slash = std::strrchr(path, '/');
    if (!slash) return false;
    if (!bounded_copy(dir, sizeof dir, slash == path ? "/" : std::string_view(path, static_cast<std::size_t>(slash - path))))
        return false;
    struct stat st;
    if (::stat(dir, &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    if (st.st_mode & S_ISVTX) return true;
    return (st.st_uid == ::geteuid() || st.st_uid == 0) && (st.st_mode & written_by_others) == 0;
}

bool is_ours(const struct stat& st, fixed_kind kind) {
    if (st.st_uid != ::geteuid() || (st.st_mode & written_by_others) != 0) return false;
    if (kind == fixed_kind::directory) return S_ISDIR(st.st_mode);
    // A second link could be a name of any file of ours, even outside /tmp.
    return S_ISREG(st.st_mode) && st.st_nlink == 1;
}

// A directory cannot be unlinked: it goes into a new private directory,
// which the next run removes.
bool move_aside(const char* path, const struct stat& st) {
    if (!S_ISDIR(st.st_mode)) return ::unlink(path) == 0 || errno == ENOENT;
    char aside[sizeof private_dir_template];
    char target[sizeof private_dir_template + 8];
    bounded_copy(aside, sizeof aside, private_dir_template);
    if (!::mkdtemp(aside)) return false;
    bounded_format(target, sizeof target, "%s/old", aside);
    return ::rename(path, target) == 0;
}

bool remove_tree_below(int dir_fd, int depth) {
    DIR* dir = ::fdopendir(dir_fd);
    if (!dir) {
        ::close(dir_fd);
        return false;
    }
    bool all = true;
    while (dirent* e = ::readdir(dir)) {
        if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, "..")) continue;
        if (::unlinkat(dir_fd, e->d_name, 0) == 0) continue;
        if (errno != EISDIR && errno != EPERM) {
            all = false;
            continue;
        }
        unique_fd sub(::openat(dir_fd, e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        bool emptied = sub.valid() && depth < max_tree_depth && remove_tree_below(sub.release(), depth + 1);
        if (!emptied || ::unlinkat(dir_fd, e->d_name, AT_REMOVEDIR) != 0) all = false;
    }
    ::closedir(dir);
    return all;
}

}  // namespace

bool entry_ours(const char* path, const struct stat& st, fixed_kind kind) {
    return is_ours(st, kind) && parent_guards(path);
}

fixed_claim claim_fixed_path(const char* path, fixed_kind kind) {
    struct stat st;
    if (::lstat(path, &st) != 0) return {errno == ENOENT ? fixed_claim::absent : fixed_claim::stuck, 0};
    if (!parent_guards(path)) return {fixed_claim::stuck, st.st_uid};
    if (is_ours(st, kind)) return {fixed_claim::ours, st.st_uid};
    return {move_aside(path, st) ? fixed_claim::replaced : fixed_claim::stuck, st.st_uid};
}

int open_fixed_for_append(const char* path, fixed_claim& claim) {
    claim = {fixed_claim::absent, 0};
    for (int round = 0; round < 2; ++round) {
        // O_NONBLOCK: a planted fifo must not hold the writer.
        unique_fd fd(::open(path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644));
        struct stat st;
        if (fd.valid() && ::fstat(fd.get(), &st) == 0 && entry_ours(path, st, fixed_kind::file)) {
            if (round == 0) claim.state = fixed_claim::ours;
            return fd.release();
        }
        claim = claim_fixed_path(path, fixed_kind::file);
        if (claim.state == fixed_claim::stuck) return -1;
    }
    return -1;
}

int read_owned_line(const char* path, char* buf, std::size_t size) {
    buf[0] = '\0';
    unique_fd fd(::open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) return errno == ENOENT ? 0 : -1;
    struct stat st;
    if (::fstat(fd.get(), &st) != 0 || !entry_ours(path, st, fixed_kind::file)) return -1;
    ssize_t n = ::read(fd.get(), buf, size - 1);
    buf[n > 0 ? n : 0] = '\0';
    buf[std::strcspn(buf, "\r\n")] = '\0';
    return 1;
}

bool config_file_trusted(const char* path, int fd) {
    struct stat named, link;
    if (::fstat(fd, &named) != 0 || named.st_uid != ::geteuid() || (named.st_mode & S_IWOTH) != 0) return false;
    return ::lstat(path, &link) == 0 && (!S_ISLNK(link.st_mode) || link.st_uid == ::geteuid());
}

bool replace_file(const char* path, const char* text, std::size_t len, bool durable) {
    char temp[256];
    if (!bounded_format(temp, sizeof temp, "%s.new", path)) return false;
    ::unlink(temp);
    unique_fd out(::open(temp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    bool ok = out.valid() && ::write(out.get(), text, len) == static_cast<ssize_t>(len);
    if (ok && durable) ok = ::fsync(out.get()) == 0;
    if (out.valid() && ::close(out.release()) != 0) ok = false;
    if (ok && ::rename(temp, path) == 0) {
        if (durable) {
            char dir[256];
            bounded_copy(dir, sizeof dir, path);
            if (char* slash = std::strrchr(dir, '/')) slash[slash == dir ? 1 : 0] = '\0';
            unique_fd d(::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            if (d.valid()) ::fsync(d.get());
        }
        return true;
    }
    ::unlink(temp);
    return false;
}

bool remove_tree_at(int parent_fd, const char* name) {
    int fd = ::openat(parent_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    bool emptied = remove_tree_below(fd, 0);
    return emptied && ::unlinkat(parent_fd, name, AT_REMOVEDIR) == 0;
}

}  // namespace kestrel
