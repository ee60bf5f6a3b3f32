// SPDX-License-Identifier: ISC
// The run's private directory: every intermediate file of a run lives there
// (control file, payload, signatures, digests, error output of the programs
// it runs), where no other user can make, swap or rewrite it.  It is on
// /tmp's file system, so the payload's rename onto its fixed name is atomic.
#pragma once

#include <cstddef>

#include "internal/fixed_path.h"

namespace kestrel {

struct run_dir {
    char path[sizeof private_dir_template] = {};
};

// A file of the run: the directory and a name of its own.
struct run_path {
    char path[sizeof private_dir_template + 32];
    operator const char*() const { return path; }
};

// Names of the run's files.  Only the control file's contains
// "fileinfo.txt": the dispatcher narrows every file whose name does.
namespace run_file {
inline constexpr const char control[] = "fileinfo.txt";
inline constexpr const char signed_control[] = "signed-text";
inline constexpr const char signature[] = "signature";
inline constexpr const char payload[] = "dbg-gen.cfg";
inline constexpr const char md5_record[] = "dbg_md5";
inline constexpr const char probe_output[] = "rae_ping_result";
inline constexpr const char bucket_digest[] = "bucket.md5";
inline constexpr const char serial_digest[] = "serial.md5";
}  // namespace run_file

// mkdtemp under /tmp, mode 0700; false (and logged) when it cannot be made.
bool run_dir_make(run_dir& dir);
run_path run_dir_file(const run_dir& dir, const char* name);
// Removes the directory and everything in it.
void run_dir_remove(const run_dir& dir);
// Removes what killed runs left: private directories of ours under /tmp
// other than dir, owned by this user only.
void run_dir_sweep(const run_dir& dir);

// path's directory, then name: where a step keeps the files that belong
// with path (a program's error output, a digest).
bool beside(const char* path, const char* name, char* out, std::size_t size);

}  // namespace kestrel
