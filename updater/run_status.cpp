// SPDX-License-Identifier: ISC
#include "updater/run_status.h"

#include <sys/mman.h>
#include <time.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <cjson/cJSON.h>
#include "internal/kol_log.h"
#include "internal/text_builder.h"
#include "updater/router_state.h"

namespace kestrel {

namespace {


const char* result_name(run_result r) {
    switch (r) {
        case run_result::installed: return "installed";
        case run_result::current: return "current";
        case run_result::waiting: return "waiting";
        case run_result::refused: return "refused";
        case run_result::rolled_back: return "rolled_back";
        case run_result::stopped: return "stopped";
        case run_result::failed: break;
    }
    return "failed";
}

// A string member, or null for "".
void add_text(cJSON* obj, const char* name, const char* text) {
    if (text[0])
        cJSON_AddStringToObject(obj, name, text);
    else
        cJSON_AddNullToObject(obj, name);
}

}  // namespace

run_status* run_status_shared() {
    void* p = ::mmap(nullptr, sizeof(run_status), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
        KOL_LOG("cannot share the run's status");
        return nullptr;
    }
    auto* st = static_cast<run_status*>(p);
    st->result = run_result::failed;
    return st;
}

void run_status_set(run_status* st, run_result result, const char* reason) {
    if (!st) return;
    st->result = result;
    bounded_copy(st->reason, sizeof st->reason, reason);
}

void run_status_end(run_status* st, run_result result, const char* fmt, ...) {
    char reason[sizeof st->reason];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(reason, sizeof reason, fmt, ap);
    va_end(ap);
    KOL_LOG("%s", reason);
    run_status_set(st, result, reason);
}

void run_status_write(const run_status* st) {
    if (!st) return;
    char installed[64];
    if (read_state(recorded_version_path, installed, sizeof installed) <= 0) installed[0] = '\0';
    cJSON* obj = cJSON_CreateObject();
    if (!obj) return;
    // Through 32 bits (enough until 2106): musl's 64-bit time_t would pull
    // libgcc's soft-float conversion into the router's binary.
    cJSON_AddNumberToObject(obj, "time", static_cast<double>(static_cast<unsigned long>(::time(nullptr))));
    cJSON_AddStringToObject(obj, "result", result_name(st->result));
    add_text(obj, "installed", installed);
    add_text(obj, "published", st->published);
    add_text(obj, "transport", st->transport);
    char reason[sizeof st->reason + 64];
    bounded_format(reason, sizeof reason, "%s%s",
                   st->reason[0] ? st->reason : "the run ended before it logged anything",
                   st->expiry_unchecked ? "; expiry not checked: clock not synchronized" : "");
    cJSON_AddStringToObject(obj, "reason", reason);
    char* text = cJSON_PrintUnformatted(obj);
    cJSON_Delete(obj);
    // Through the record directory's owner: a run stopped before it looked
    // at the directory writes as safely as one at its end.
    if (text) write_state(status_path, text);
    cJSON_free(text);
}

}  // namespace kestrel
