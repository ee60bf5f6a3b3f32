// SPDX-License-Identifier: ISC
// File helpers for tests that run inside the sandbox (fixed paths are private there).
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

inline void write_file(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

// Every test here writes /etc, /tmp and mounts: refuse to run outside the sandbox.
inline void require_sandbox() {
    if (access("/sandbox", W_OK) != 0) {
        std::fprintf(stderr, "run through ctest: these tests belong in the sandbox\n");
        std::abort();
    }
}
