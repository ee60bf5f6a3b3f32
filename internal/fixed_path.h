// SPDX-License-Identifier: ISC
// Entries at fixed names in places every user can write to (/tmp): another
// user may have made them first, or swap them for a symlink.  They are
// trusted only when this user owns them, and never written through a link.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>

namespace kestrel {

// Private directories of the package under /tmp: a run's own files, and
// entries moved out of a fixed name.  A later run removes those it owns.
inline constexpr const char private_dir_template[] = "/tmp/kestreld.XXXXXX";
inline constexpr std::size_t private_dir_prefix_len = sizeof "/tmp/kestreld." - 1;

enum class fixed_kind { file, directory };

// What claim_fixed_path found at a fixed name.
struct fixed_claim {
    enum { absent, ours, replaced, stuck } state;
    uid_t owner;  // of the entry found (replaced, stuck)
};

// What "ours" means for an entry at a fixed name: this user's, not a link,
// written by no one else (a file: one link), in a directory that no one
// else can write to or that is sticky (as /tmp).  A directory that group or
// others may write is not ours, whatever its group.
bool entry_ours(const char* path, const struct stat& st, fixed_kind kind);

// Makes path usable as this user's file or directory.  An entry that is ours
// (entry_ours) is kept; anything else is moved aside (into a new private directory
// under /tmp) and the name left free.  stuck: it could not be moved, do not
// use the name.
fixed_claim claim_fixed_path(const char* path, fixed_kind kind);

// Opens path for appending, creating it when missing; -1 when it cannot be
// made this user's file.  claim receives what was found there.
int open_fixed_for_append(const char* path, fixed_claim& claim);

// The first line of path, without its line ending, when path is ours
// (entry_ours).  1: read; 0: missing; -1: there but not ours.
int read_owned_line(const char* path, char* buf, std::size_t size);

// A configuration file another program keeps (read through fd, opened from
// path): it, and path itself where path is a link, are this user's, and no
// other user may write it.
bool config_file_trusted(const char* path, int fd);

// Replaces path with text through path + ".new" and a rename, so that a
// reader sees the old content or the new one, never a part.  durable: synced
// to storage (flash) before and after the rename.
bool replace_file(const char* path, const char* text, std::size_t len, bool durable = false);

// Removes the directory name below the directory parent_fd and everything in
// it, never following a link; false when something was left.
bool remove_tree_at(int parent_fd, const char* name);

}  // namespace kestrel
