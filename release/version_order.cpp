// SPDX-License-Identifier: ISC
#include <cstring>
#include <string_view>

#include "release/version_order.h"

namespace kestrel {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_separator(char c) { return c == '.' || c == '-' || c == '_'; }

// Walks the numeric components of a version text: leading non-digits are
// skipped, components are digit runs joined by '.', '-' or '_', and any other
// character ends the list.
struct component_reader {
    const char* p;
    bool ended;

    explicit component_reader(const char* text) : p(text), ended(false) {
        while (*p && !is_digit(*p)) ++p;
        if (!*p) ended = true;
    }

    // Next component as its digit run without leading zeros ("" is zero);
    // an ended list keeps yielding zero.
    std::string_view next() {
        if (ended) return {};
        const char* start = p;
        while (is_digit(*p)) ++p;
        std::string_view run(start, static_cast<std::size_t>(p - start));
        if (is_separator(*p))
            ++p;
        else
            ended = true;
        while (!run.empty() && run.front() == '0') run.remove_prefix(1);
        return run;
    }
};

// Compares two digit runs without leading zeros as numbers of any length.
int compare_runs(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    int c = a.compare(b);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

}  // namespace

int cmp_version(const char* cur, const char* newer) {
    component_reader a(cur);
    component_reader b(newer);
    while (!a.ended || !b.ended) {
        int c = compare_runs(a.next(), b.next());
        if (c != 0) return c < 0 ? 1 : 0;
    }
    return 0;
}

}  // namespace kestrel
