// SPDX-License-Identifier: ISC
// Small file helpers for tests that run inside the sandbox.
#pragma once

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>

inline void write_file(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline bool file_exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

inline void remove_file(const std::string& path) { ::unlink(path.c_str()); }

// The configuration store of the sandboxed router.
inline void set_config(const std::string& lines) {
    ::mkdir("/etc/kestrel", 0755);
    write_file("/etc/kestrel/config", lines);
}

// Runs fn with writes limited to bytes per file, as a full file system would
// stop them (SIGXFSZ ignored, so the write fails instead); returns its result.
template <typename F>
auto with_file_size_limit(rlim_t bytes, F fn) {
    rlimit before{};
    getrlimit(RLIMIT_FSIZE, &before);
    rlimit small = before;
    small.rlim_cur = bytes;
    auto old_handler = signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &small);
    auto result = fn();
    setrlimit(RLIMIT_FSIZE, &before);
    signal(SIGXFSZ, old_handler);
    return result;
}
