// SPDX-License-Identifier: ISC
#include "release/control_text.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "internal/text_builder.h"

namespace kestrel {

bool format_control_text(const release_fields& f, char* out, std::size_t size) {
    char rollout[24] = {};
    char expires[32] = {};
    if (f.rollout >= 0) std::snprintf(rollout, sizeof rollout, "rollout=%d\n", f.rollout);
    if (f.expires) std::snprintf(expires, sizeof expires, "expires=%llu\n", f.expires);
    return bounded_format(out, size,
                          "[Major1]\nfile=%s\nmd5=%s\nsize=%s\n[Release]\nmodule=%s\npath=%s\n%ssha256=%s\npayload=%s\n"
                          "seq=%llu\nissued=%llu\n%s",
                          f.file, f.md5, f.size, f.module, f.path, rollout, f.sha256, f.payload, f.seq, f.issued,
                          expires);
}

namespace {

// Appends to a bounded buffer; remembers a failure.
struct appender {
    char* out;
    std::size_t size;
    std::size_t len = 0;
    bool ok = true;
    void add(std::string_view s) {
        if (!ok || s.size() > size - len) {
            ok = false;
            return;
        }
        std::memcpy(out + len, s.data(), s.size());
        len += s.size();
    }
    void number_line(const char* key, unsigned long long v) {
        char line[48];
        std::snprintf(line, sizeof line, "%s=%llu\n", key, v);
        add(line);
    }
};

bool has_key(std::string_view line, std::string_view key) {
    return line.size() > key.size() && std::memcmp(line.data(), key.data(), key.size()) == 0 &&
           line[key.size()] == '=';
}

}  // namespace

bool update_control_text(const char* text, std::size_t len, const release_update& u, char* out, std::size_t size,
                         std::size_t& out_len) {
    appender a{out, size};
    // Sections as read_control_record finds them: the [Release] that counts
    // is the first after the line naming Major1.
    enum { before_major, before, release, after } where = before_major;
    bool seen_rollout = false, seen_seq = false, seen_issued = false, seen_expires = false;
    // The lines the section lacks go at its end, before the next section.
    auto close_release = [&] {
        if (a.len && out[a.len - 1] != '\n') a.add("\n");
        if (u.rollout >= 0 && !seen_rollout) a.number_line("rollout", static_cast<unsigned long long>(u.rollout));
        if (!seen_seq) a.number_line("seq", u.seq);
        if (!seen_issued) a.number_line("issued", u.issued);
        if (u.expires && !seen_expires) a.number_line("expires", u.expires);
        where = after;
    };
    for (std::size_t start = 0; start < len;) {
        const char* nl = static_cast<const char*>(std::memchr(text + start, '\n', len - start));
        std::size_t end = nl ? static_cast<std::size_t>(nl - text) + 1 : len;
        std::string_view line(text + start, end - start);
        // The line without its line ending: every CR and LF at its end, as
        // the reader matches "[Release]".
        std::size_t content = line.size();
        while (content > 0 && (line[content - 1] == '\r' || line[content - 1] == '\n')) --content;
        // Pointer arithmetic rather than substr, whose range check would pull
        // exception support into the router's binary.
        std::string_view ending = nl ? std::string_view(line.data() + content, line.size() - content)
                                     : std::string_view("\n");
        start = end;
        if (where == before_major) {
            if (line.find("Major1") != std::string_view::npos) where = before;
            a.add(line);
            continue;
        }
        if (line.find('[') != std::string_view::npos) {
            if (where == release) close_release();
            if (where == before && std::string_view(line.data(), content) == "[Release]") where = release;
            a.add(line);
            continue;
        }
        if (where != release) {
            a.add(line);
            continue;
        }
        // Each key once, with its new value; a second line of one would be
        // the one a router reads, so none is kept.
        char value[48];
        bool* seen = nullptr;
        if (has_key(line, "rollout") && u.rollout >= 0) {
            seen = &seen_rollout;
            std::snprintf(value, sizeof value, "rollout=%d", u.rollout);
        } else if (has_key(line, "seq")) {
            seen = &seen_seq;
            std::snprintf(value, sizeof value, "seq=%llu", u.seq);
        } else if (has_key(line, "issued")) {
            seen = &seen_issued;
            std::snprintf(value, sizeof value, "issued=%llu", u.issued);
        } else if (has_key(line, "expires")) {
            seen = &seen_expires;
            if (!u.expires) continue;
            std::snprintf(value, sizeof value, "expires=%llu", u.expires);
        } else {
            a.add(line);
            continue;
        }
        if (*seen) continue;
        *seen = true;
        a.add(value);
        a.add(ending);
    }
    if (where == before || where == before_major) return false;
    if (where == release) close_release();
    out_len = a.len;
    return a.ok;
}

}  // namespace kestrel
