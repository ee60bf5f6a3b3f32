// Small file helpers for tests that run inside the sandbox.
#pragma once

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
