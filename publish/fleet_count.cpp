// SPDX-License-Identifier: ISC
#include "publish/fleet_count.h"

#include <algorithm>
#include <cstring>
#include <cstdint>
#include <map>
#include <unordered_map>

#include "internal/kernel_random.h"
#include "publish/access_log.h"
#include "updater/updater.h"

namespace kestrel {

namespace {

std::uint64_t mix(std::uint64_t x) {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

std::uint64_t hash_text(std::string_view s, std::uint64_t seed) {
    std::uint64_t h = 0xcbf29ce484222325ULL ^ seed;
    for (char c : s) h = (h ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
    return mix(h);
}

// Tables grow at seven eighths full.
bool over_load(std::size_t count, std::size_t slots) { return count + 1 > slots - slots / 8; }

std::uint64_t parse_id(std::string_view id) {
    std::uint64_t v = 0;
    for (char c : id) v = v << 4 | static_cast<std::uint64_t>(c <= '9' ? c - '0' : c - 'a' + 10);
    return v;
}

router_entry* find_slot(std::vector<router_entry>& table, std::uint64_t key, std::uint64_t seed) {
    std::size_t mask = table.size() - 1;
    for (std::size_t i = mix(key ^ seed) & mask;; i = (i + 1) & mask)
        if (table[i].key == key || table[i].key == 0) return &table[i];
}

void grow_routers(fleet_count& fc) {
    std::vector<router_entry> bigger(fc.routers.empty() ? 1024 : fc.routers.size() * 2, router_entry{});
    for (const router_entry& e : fc.routers)
        if (e.key) *find_slot(bigger, e.key, fc.seed) = e;
    fc.routers.swap(bigger);
}

// Values no router's latest line holds any more go: the table is rebuilt
// from the routers' entries once it holds far more texts than they name.
void drop_unused_texts(fleet_count& fc) {
    if (fc.texts.spans.size() < 2 * fc.texts_kept + fc.router_count + 4096) return;
    text_table fresh;
    fresh.seed = fc.texts.seed;
    for (router_entry& e : fc.routers) {
        if (!e.key) continue;
        for (std::uint32_t* t : {&e.module, &e.installed, &e.result, &e.published, &e.refused})
            *t = fresh.intern(fc.texts.text(*t));
    }
    fc.texts = std::move(fresh);
    fc.texts_kept = fc.texts.spans.size();
}

bool version_less(const std::string& a, const std::string& b) {
    if (a == b) return false;
    if (a == "-" || b == "-") return a == "-";
    if (cmp_version(a.c_str(), b.c_str()) == 1) return true;
    if (cmp_version(b.c_str(), a.c_str()) == 1) return false;
    return a < b;
}

}  // namespace

std::uint32_t text_table::intern(std::string_view text) {
    if (over_load(spans.size(), slots.size())) {
        std::vector<std::uint32_t> bigger(slots.empty() ? 256 : slots.size() * 2, 0);
        std::size_t mask = bigger.size() - 1;
        for (std::uint32_t i = 0; i < spans.size(); ++i) {
            std::size_t s = hash_text(this->text(i), seed) & mask;
            while (bigger[s]) s = (s + 1) & mask;
            bigger[s] = i + 1;
        }
        slots.swap(bigger);
    }
    std::size_t mask = slots.size() - 1;
    std::size_t s = hash_text(text, seed) & mask;
    for (; slots[s]; s = (s + 1) & mask)
        if (this->text(slots[s] - 1) == text) return slots[s] - 1;
    spans.push_back(static_cast<std::uint64_t>(chars.size()) << 32 | text.size());
    chars.append(text);
    slots[s] = static_cast<std::uint32_t>(spans.size());
    return static_cast<std::uint32_t>(spans.size() - 1);
}

std::string_view text_table::text(std::uint32_t index) const {
    std::uint64_t span = spans[index];
    return std::string_view(chars).substr(span >> 32, span & 0xffffffffU);
}

fleet_count new_fleet_count() {
    fleet_count fc;
    unsigned char r[16] = {};
    kernel_random(r, sizeof r);
    std::memcpy(&fc.seed, r, 8);
    std::memcpy(&fc.texts.seed, r + 8, 8);
    return fc;
}

void count_line(fleet_count& fc, std::string_view line) {
    ++fc.lines;
    access_line a;
    agent_fields f;
    if (!read_access_line(line, a) || !read_agent_fields(a.user_agent, f)) {
        ++fc.skipped;
        return;
    }
    if (f.id == "-") {
        ++fc.unidentified;
        return;
    }
    if (over_load(fc.router_count, fc.routers.size())) grow_routers(fc);
    std::uint64_t key = parse_id(f.id) + 1;
    router_entry* e = find_slot(fc.routers, key, fc.seed);
    // On a tie the line read last wins.
    if (e->key && a.time < e->time) return;
    if (!e->key) ++fc.router_count;
    *e = router_entry{key,
                      a.time,
                      fc.texts.intern(f.module),
                      fc.texts.intern(f.installed),
                      fc.texts.intern(f.result),
                      fc.texts.intern(f.published),
                      fc.texts.intern(f.refused)};
    drop_unused_texts(fc);
}

std::vector<module_counts> count_modules(const fleet_count& fc, const char* module, const char* version) {
    // Each module's place in out by the number of its text.
    std::unordered_map<std::uint32_t, std::size_t> place;
    std::vector<module_counts> out;
    std::vector<std::map<std::uint32_t, std::uint64_t>> installed;
    auto module_of = [&](const router_entry& e) -> module_counts* {
        auto [it, fresh] = place.try_emplace(e.module, out.size());
        if (fresh) {
            std::string name(fc.texts.text(e.module));
            if (module && name != module) {
                it->second = SIZE_MAX;
                return nullptr;
            }
            out.emplace_back().module = std::move(name);
            installed.emplace_back();
        }
        return it->second == SIZE_MAX ? nullptr : &out[it->second];
    };
    for (const router_entry& e : fc.routers) {
        if (!e.key) continue;
        module_counts* m = module_of(e);
        if (!m) continue;
        ++m->routers;
        ++installed[static_cast<std::size_t>(m - out.data())][e.installed];
        std::string_view published = fc.texts.text(e.published);
        if (version || published == "-") continue;
        if (!m->has_version || version_less(m->version, std::string(published))) m->version = published;
        m->has_version = true;
    }
    // Counted for V, now that each module's V is known.
    for (const router_entry& e : fc.routers) {
        if (!e.key) continue;
        module_counts* m = module_of(e);
        if (!m) continue;
        if (version) {
            m->has_version = true;
            m->version = version;
        }
        const std::string& v = m->version;
        bool named = m->has_version;
        std::string_view result = fc.texts.text(e.result);
        std::string_view refused = fc.texts.text(e.refused);
        m->on_version += named && fc.texts.text(e.installed) == v;
        m->rolled_back += named && refused == v;
        m->waiting += named && result == "waiting" && fc.texts.text(e.published) == v;
        m->failed += result == "failed";
        m->refused_other += result == "refused" && !(named && refused == v);
    }
    for (std::size_t i = 0; i < out.size(); ++i) {
        for (auto [text, n] : installed[i]) out[i].installed.emplace_back(fc.texts.text(text), n);
        std::sort(out[i].installed.begin(), out[i].installed.end(),
                  [](const auto& a, const auto& b) { return version_less(a.first, b.first); });
    }
    if (module && out.empty()) out.emplace_back().module = module;
    for (module_counts& m : out) {
        if (version && !m.has_version) {
            m.has_version = true;
            m.version = version;
        }
    }
    std::sort(out.begin(), out.end(), [](const module_counts& a, const module_counts& b) { return a.module < b.module; });
    return out;
}

}  // namespace kestrel
