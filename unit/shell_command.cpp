#include "unit/shell_command.h"

#include <cstdlib>

#include "unit/kol_log.h"

bool run_command(const text_builder& cmd) {
    if (!cmd.ok()) {
        KOL_LOG("command line too long, not run: %s", cmd.c_str());
        return false;
    }
    int rc = std::system(cmd.c_str());
    (void)rc;
    return true;
}
