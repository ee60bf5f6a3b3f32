// SPDX-License-Identifier: ISC
// Owners that close descriptors and streams on every path.
#pragma once

#include <cstdio>
#include <unistd.h>

namespace kestrel {

struct unique_fd {
    int fd = -1;

    unique_fd() = default;
    explicit unique_fd(int f) : fd(f) {}
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    unique_fd(unique_fd&& o) noexcept : fd(o.release()) {}
    unique_fd& operator=(unique_fd&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    ~unique_fd() { reset(); }

    int get() const { return fd; }
    bool valid() const { return fd >= 0; }
    int release() {
        int f = fd;
        fd = -1;
        return f;
    }
    void reset(int f = -1) {
        if (fd >= 0) ::close(fd);
        fd = f;
    }
};

struct unique_file {
    FILE* f = nullptr;

    unique_file() = default;
    explicit unique_file(FILE* s) : f(s) {}
    unique_file(const unique_file&) = delete;
    unique_file& operator=(const unique_file&) = delete;
    unique_file(unique_file&& o) noexcept : f(o.release()) {}
    unique_file& operator=(unique_file&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    ~unique_file() { reset(); }

    FILE* get() const { return f; }
    explicit operator bool() const { return f != nullptr; }
    FILE* release() {
        FILE* s = f;
        f = nullptr;
        return s;
    }
    // Returns fclose's result so writers can tell a failed flush.
    int reset(FILE* s = nullptr) {
        int rc = 0;
        if (f) rc = std::fclose(f);
        f = s;
        return rc;
    }
};

}  // namespace kestrel
