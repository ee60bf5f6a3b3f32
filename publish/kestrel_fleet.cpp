// SPDX-License-Identifier: ISC
// kestrel-fleet: where the fleet stands, from the update server's access
// logs (routers say what they are in their User-Agent), and the halt of a
// release whose rollbacks pass a threshold.  Runs on the operator's machine.
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "build_config.h"
#include "internal/text_builder.h"
#include "publish/fleet_count.h"
#include "publish/publish_common.h"
#include "publish/rollout_change.h"
#include "updater/rollout.h"
#include "updater/updater.h"

using namespace kestrel;

namespace {

constexpr const char synopsis[] =
    "usage: kestrel-fleet report [--json] [--module MODULE] [--version V] LOG...\n"
    "       kestrel-fleet halt --max-rolled-back PCT [--min-routers N] [--prefix PATH] [--sign SECKEY]\n"
    "                          ROOT MODULE LOG...\n"
    "       kestrel-fleet --help | --version\n";
constexpr const char help_text[] =
    "\n"
    "Reads the update server's access logs (combined format, plain or gzip, - for standard\n"
    "input): each router's latest request says what it runs in its User-Agent.\n"
    "\n"
    "report: per module, the routers, their installed versions and, for the published version\n"
    "(or V), how many run it, rolled it back, wait for it, failed or refused another.\n"
    "  --json             one JSON object instead of the table\n"
    "  --module MODULE    only this module\n"
    "  --version V        count for version V instead of the highest published one\n"
    "\n"
    "halt: sets the release published for MODULE under ROOT to rollout 0, as\n"
    "kestrel-publish --rollout 0 --update-rollout does, when at least N routers ran or rolled\n"
    "back its version and more than PCT % of them rolled back.\n"
    "  --max-rolled-back PCT  the threshold, a whole number from 0 to 100 (required)\n"
    "  --min-routers N    routers needed before the threshold counts (default 10)\n"
    "  --prefix PATH      the server's path prefix (default /sw-apps/dbg_log_collect/)\n"
    "  --sign SECKEY      signs the changed control file (a signed release needs it)\n"
    "\n"
    "Exit status: 0 done (halt: nothing to do), 3 halted, 1 an error, 2 usage.\n";
constexpr const char default_prefix[] = "/sw-apps/dbg_log_collect/";
// Longer lines are counted, and skipped: no router's line comes near.
constexpr std::size_t line_max = 1 << 20;

// A usage error: what was wrong, in one line, exit status 2.
int usage(const char* what, const char* arg = "") {
    std::fprintf(stderr, "kestrel-fleet: %s%s (see --help)\n", what, arg);
    return 2;
}

struct options {
    bool json = false;
    const char* module = nullptr;
    const char* version = nullptr;
    int max_rolled_back = -1;
    unsigned long long min_routers = 10;
    const char* prefix = default_prefix;
    const char* seckey = nullptr;
    const char* root = nullptr;
    std::vector<const char*> logs;
};

// A whole number no larger than most; -1 otherwise.
long long whole_number(const char* text, long long most) {
    long long v = 0;
    if (!*text) return -1;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9') return -1;
        v = v * 10 + (*p - '0');
        if (v > most) return -1;
    }
    return v;
}

// What is wrong with the arguments (arg: the word it is about), or null.
const char* parse_args(int argc, char** argv, bool halt, options& o, const char*& arg) {
    std::vector<const char*> positional;
    bool options_done = false;
    for (int i = 2; i < argc; ++i) {
        const char* a = arg = argv[i];
        if (options_done || a[0] != '-' || a[1] != '-') {
            positional.push_back(a);
            continue;
        }
        if (!std::strcmp(a, "--")) {
            options_done = true;
            continue;
        }
        if (!halt && !std::strcmp(a, "--json")) {
            o.json = true;
            continue;
        }
        bool known = halt ? !std::strcmp(a, "--max-rolled-back") || !std::strcmp(a, "--min-routers") ||
                                !std::strcmp(a, "--prefix") || !std::strcmp(a, "--sign")
                          : !std::strcmp(a, "--module") || !std::strcmp(a, "--version");
        if (!known) return "unknown option ";
        if (i + 1 >= argc) return "no value after ";
        const char* v = arg = argv[++i];
        if (!std::strcmp(a, "--module")) {
            o.module = v;
        } else if (!std::strcmp(a, "--version")) {
            o.version = v;
        } else if (!std::strcmp(a, "--max-rolled-back")) {
            o.max_rolled_back = static_cast<int>(whole_number(v, 100));
            if (o.max_rolled_back < 0) return "--max-rolled-back is a whole number from 0 to 100, not ";
        } else if (!std::strcmp(a, "--min-routers")) {
            long long n = whole_number(v, 1LL << 62);
            if (n < 0) return "--min-routers is a whole number, not ";
            o.min_routers = static_cast<unsigned long long>(n);
        } else if (!std::strcmp(a, "--prefix")) {
            o.prefix = v;
        } else {
            o.seckey = v;
        }
    }
    arg = "";
    std::size_t first_log = 0;
    if (halt) {
        if (o.max_rolled_back < 0) return "halt needs --max-rolled-back PCT";
        if (positional.size() < 3) return "expected ROOT MODULE LOG...";
        o.root = positional[0];
        o.module = positional[1];
        first_log = 2;
    }
    o.logs.assign(positional.begin() + static_cast<long>(first_log), positional.end());
    return o.logs.empty() ? "no LOG given" : nullptr;
}

// Counts every line of one log, plain or gzip-compressed ("-": standard
// input).  False (and why) when it cannot be read to its end.
bool count_log(fleet_count& fc, const char* name, std::vector<char>& buf, char (&why)[256]) {
    int fd = std::strcmp(name, "-") ? ::open(name, O_RDONLY | O_CLOEXEC) : ::dup(STDIN_FILENO);
    if (fd < 0) {
        bounded_copy(why, sizeof why, std::strerror(errno));
        return false;
    }
    // Told by its content: zlib reads anything else as it is.
    gzFile gz = gzdopen(fd, "rb");
    if (!gz) {
        ::close(fd);
        bounded_copy(why, sizeof why, "out of memory");
        return false;
    }
    gzbuffer(gz, 1 << 17);
    std::size_t have = 0;
    bool too_long = false;  // inside a line longer than the buffer
    bool ok = true;
    for (;;) {
        int n = gzread(gz, buf.data() + have, static_cast<unsigned>(buf.size() - have));
        if (n <= 0) {
            int err = Z_OK;
            const char* text = gzerror(gz, &err);
            if (n < 0 || (err != Z_OK && err != Z_STREAM_END)) {
                bounded_copy(why, sizeof why, err == Z_ERRNO ? std::strerror(errno) : text);
                ok = false;
            } else if (have > 0 && !too_long) {
                count_line(fc, std::string_view(buf.data(), have));
            }
            break;
        }
        std::size_t end = have + static_cast<std::size_t>(n);
        std::size_t start = 0;
        for (;;) {
            auto* nl = static_cast<char*>(std::memchr(buf.data() + start, '\n', end - start));
            if (!nl) break;
            std::size_t at = static_cast<std::size_t>(nl - buf.data());
            if (too_long)
                too_long = false;
            else
                count_line(fc, std::string_view(buf.data() + start, at - start));
            start = at + 1;
        }
        if (start == 0 && end == buf.size()) {
            // A line that fills the buffer: counted once, its rest dropped.
            if (!too_long) {
                ++fc.lines;
                ++fc.skipped;
            }
            too_long = true;
            have = 0;
            continue;
        }
        if (too_long) start = end;
        std::memmove(buf.data(), buf.data() + start, end - start);
        have = end - start;
    }
    gzclose(gz);
    return ok;
}

int count_logs(fleet_count& fc, const std::vector<const char*>& logs) {
    std::vector<char> buf(line_max);
    for (const char* name : logs) {
        char why[256] = {};
        if (!count_log(fc, name, buf, why)) return refuse("cannot read %s: %s", name, why);
    }
    return 0;
}

// A JSON string; the values routers send need no escapes, the names an
// operator types may.
void put_json_text(std::string_view s) {
    std::putchar('"');
    for (char c : s) {
        auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\')
            std::printf("\\%c", c);
        else if (u < 0x20)
            std::printf("\\u%04x", u);
        else
            std::putchar(c);
    }
    std::putchar('"');
}

void print_json(const fleet_count& fc, const std::vector<module_counts>& modules) {
    std::printf("{\"lines\": %llu, \"skipped\": %llu, \"unidentified\": %llu, \"modules\": [",
                static_cast<unsigned long long>(fc.lines), static_cast<unsigned long long>(fc.skipped),
                static_cast<unsigned long long>(fc.unidentified));
    for (std::size_t i = 0; i < modules.size(); ++i) {
        const module_counts& m = modules[i];
        std::printf("%s{\"module\": ", i ? ", " : "");
        put_json_text(m.module);
        std::printf(", \"routers\": %llu, \"installed\": {", static_cast<unsigned long long>(m.routers));
        for (std::size_t j = 0; j < m.installed.size(); ++j) {
            std::fputs(j ? ", " : "", stdout);
            put_json_text(m.installed[j].first);
            std::printf(": %llu", static_cast<unsigned long long>(m.installed[j].second));
        }
        std::fputs("}, \"version\": ", stdout);
        if (m.has_version)
            put_json_text(m.version);
        else
            std::fputs("null", stdout);
        std::printf(", \"on_version\": %llu, \"rolled_back\": %llu, \"waiting\": %llu, \"failed\": %llu, "
                    "\"refused_other\": %llu}",
                    static_cast<unsigned long long>(m.on_version), static_cast<unsigned long long>(m.rolled_back),
                    static_cast<unsigned long long>(m.waiting), static_cast<unsigned long long>(m.failed),
                    static_cast<unsigned long long>(m.refused_other));
    }
    std::puts("]}");
}

void print_table(const fleet_count& fc, const std::vector<module_counts>& modules) {
    std::printf("lines %llu, skipped %llu, unidentified %llu\n", static_cast<unsigned long long>(fc.lines),
                static_cast<unsigned long long>(fc.skipped), static_cast<unsigned long long>(fc.unidentified));
    std::printf("%-15s %8s %-12s %10s %11s %8s %8s %13s\n", "module", "routers", "version", "on_version",
                "rolled_back", "waiting", "failed", "refused_other");
    for (const module_counts& m : modules) {
        std::printf("%-15s %8llu %-12s %10llu %11llu %8llu %8llu %13llu\n", m.module.c_str(),
                    static_cast<unsigned long long>(m.routers), m.has_version ? m.version.c_str() : "-",
                    static_cast<unsigned long long>(m.on_version), static_cast<unsigned long long>(m.rolled_back),
                    static_cast<unsigned long long>(m.waiting), static_cast<unsigned long long>(m.failed),
                    static_cast<unsigned long long>(m.refused_other));
        std::fputs("  installed:", stdout);
        for (std::size_t j = 0; j < m.installed.size(); ++j)
            std::printf("%s %s: %llu", j ? "," : "", m.installed[j].first.c_str(),
                        static_cast<unsigned long long>(m.installed[j].second));
        std::putchar('\n');
    }
}

// The module as routers name it in their path and User-Agent.
std::string lower(const char* s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 0x20);
    return out;
}

int report(const options& o) {
    fleet_count fc = new_fleet_count();
    if (int rc = count_logs(fc, o.logs)) return rc;
    std::string module = o.module ? lower(o.module) : std::string();
    std::vector<module_counts> modules = count_modules(fc, o.module ? module.c_str() : nullptr, o.version);
    if (o.json)
        print_json(fc, modules);
    else
        print_table(fc, modules);
    return 0;
}

int halt(const options& o) {
    std::string module = lower(o.module);
    char control_path[4096];
    if (!bounded_format(control_path, sizeof control_path, "%s%s%s/fileinfo.txt", o.root, o.prefix, module.c_str()))
        return refuse("ROOT path too long");
    static published_release current;
    const control_record& rec = current.rec;
    version_text version = {};
    if (!read_published(control_path, current))
        return refuse("cannot read the control file published in %s%s", o.prefix, module.c_str());
    if (current.exists) published_version(rec.file, version);
    if (!version[0]) return refuse("no release is published in %s%s", o.prefix, module.c_str());

    fleet_count fc = new_fleet_count();
    if (int rc = count_logs(fc, o.logs)) return rc;
    module_counts m = count_modules(fc, module.c_str(), version).front();
    unsigned long long rolled = m.rolled_back;
    unsigned long long total = m.on_version + m.rolled_back;
    bool over = total >= o.min_routers && rolled * 100 > static_cast<unsigned long long>(o.max_rolled_back) * total;
    const char* verdict = !over ? "not halted" : rollout_percent(rec) == 0 ? "already halted" : nullptr;
    if (!verdict) {
        // As kestrel-publish --rollout 0 --update-rollout does it, with its
        // default expiry, and only while V is still the release published.
        rollout_change_request req{o.root, o.module, o.prefix, {o.seckey}, 0, default_expires_days, nullptr, false, version};
        if (change_rollout(req) != 0) return 1;
        verdict = "halted";
    }
    // Tenths where the share is not whole: 1 of 3 is 33.3 %, more than 33 %.
    unsigned long long tenths = total ? rolled * 1000 / total : 0;
    char share[32];
    if (tenths % 10)
        bounded_format(share, sizeof share, "%llu.%llu", tenths / 10, tenths % 10);
    else
        bounded_format(share, sizeof share, "%llu", tenths / 10);
    std::printf("%s %s: %llu of %llu routers rolled back (%s %%), threshold %d %%: %s\n", module.c_str(), version,
                rolled, total, share, o.max_rolled_back, verdict);
    return std::strcmp(verdict, "halted") ? 0 : 3;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage("expected report or halt");
    if (!std::strcmp(argv[1], "--help")) {
        std::printf("%s%s", synopsis, help_text);
        return 0;
    }
    if (!std::strcmp(argv[1], "--version")) {
        std::printf("kestrel-fleet %s\n", build_config::version);
        return 0;
    }
    bool is_halt = !std::strcmp(argv[1], "halt");
    if (!is_halt && std::strcmp(argv[1], "report")) return usage("expected report or halt, not ", argv[1]);
    options o;
    const char* arg = "";
    if (const char* wrong = parse_args(argc, argv, is_halt, o, arg)) return usage(wrong, arg);
    int rc = is_halt ? halt(o) : report(o);
    if (std::fflush(stdout) != 0) return refuse("cannot write the output: %s", std::strerror(errno));
    return rc;
}
