// kestrel-publish --update-rollout: the published release of a module
// reaches another share of the fleet; nothing else about it changes.
#pragma once

namespace kestrel {

struct rollout_change_request {
    const char* root;
    const char* module;
    const char* prefix;
    const char* seckey;  // null: the release is unsigned
    int percent;         // 0 to 100
};

// Exit status of the tool: 0 done, 1 refused (one line on stderr).
int change_rollout(const rollout_change_request& req);

}  // namespace kestrel
