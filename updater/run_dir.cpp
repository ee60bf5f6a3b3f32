// SPDX-License-Identifier: ISC
#include "updater/run_dir.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "internal/kol_log.h"
#include "internal/text_builder.h"
#include "internal/unique_fd.h"

namespace kestrel {

bool run_dir_make(run_dir& dir) {
    bounded_copy(dir.path, sizeof dir.path, private_dir_template);
    if (::mkdtemp(dir.path)) return true;
    KOL_LOG("cannot make a private directory under /tmp");
    dir.path[0] = '\0';
    return false;
}

run_path run_dir_file(const run_dir& dir, const char* name) {
    run_path p;
    bounded_format(p.path, sizeof p.path, "%s/%s", dir.path, name);
    return p;
}

void run_dir_remove(const run_dir& dir) {
    if (!dir.path[0]) return;
    unique_fd tmp(::open("/tmp", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    // Gone already: the worker removed it before it was stopped.
    if (!tmp.valid() || (!remove_tree_at(tmp.get(), dir.path + sizeof "/tmp/" - 1) && errno != ENOENT))
        KOL_LOG("cannot remove %s", dir.path);
}

void run_dir_sweep(const run_dir& dir) {
    int tmp_fd = ::open("/tmp", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (tmp_fd < 0) return;
    DIR* tmp = ::fdopendir(tmp_fd);
    if (!tmp) {
        ::close(tmp_fd);
        return;
    }
    const char* prefix = private_dir_template + sizeof "/tmp/" - 1;
    std::size_t prefix_len = private_dir_prefix_len - (sizeof "/tmp/" - 1);
    const char* own = dir.path[0] ? dir.path + sizeof "/tmp/" - 1 : "";
    while (dirent* e = ::readdir(tmp)) {
        if (std::strncmp(e->d_name, prefix, prefix_len) != 0 || std::strlen(e->d_name) != prefix_len + 6 ||
            !std::strcmp(e->d_name, own))
            continue;
        // Someone else's directory of that name is not ours to empty.
        struct stat st;
        if (::fstatat(tmp_fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode) ||
            st.st_uid != ::geteuid())
            continue;
        if (remove_tree_at(tmp_fd, e->d_name))
            KOL_LOG("removed /tmp/%s, left by an earlier run", e->d_name);
        else
            KOL_LOG("cannot remove /tmp/%s, left by an earlier run", e->d_name);
    }
    ::closedir(tmp);
}

bool beside(const char* path, const char* name, char* out, std::size_t size) {
    const char* slash = std::strrchr(path, '/');
    std::size_t dir_len = slash ? static_cast<std::size_t>(slash - path) + 1 : 0;
    return text_builder(out, size).raw(std::string_view(path, dir_len)).raw(name).ok();
}

}  // namespace kestrel
