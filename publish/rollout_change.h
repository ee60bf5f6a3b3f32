// A new rollout for the release published for a module: its control file
// is written again with the new percentage and everything else as it was
// (signed again when it was signed), its payload left alone.  The one way
// kestrel-publish --update-rollout and kestrel-fleet halt change a rollout.
#pragma once

namespace kestrel {

struct rollout_change_request {
    const char* root;
    const char* module;
    const char* prefix;  // the server's path prefix, "/" ... "/"
    const char* seckey;  // null: not signed (a signed release is then refused)
    int percent;         // 0 to 100
    bool print_summary;  // what was written, on standard output
};

// 0: done; 1: refused, the reason one line on standard error after the
// program's name.  Nothing below root changes on a refusal.
int change_rollout(const rollout_change_request& req);

}  // namespace kestrel
