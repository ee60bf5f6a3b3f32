#include "internal/shell_command.h"

#include <sys/wait.h>

#include <cstdlib>
#include <cstring>

#include "internal/kol_log.h"

namespace kestrel {

command_result run_command(const text_builder& cmd) {
    command_result result;
    if (!cmd.ok()) {
        const char* line = cmd.c_str();
        std::size_t word = std::strcspn(line, " ");
        if (word > 32) word = 32;
        KOL_LOG("%.*s command line of %zu characters does not fit in %zu, not run", static_cast<int>(word),
                line, cmd.wanted, cmd.size > 0 ? cmd.size - 1 : 0);
        return result;
    }
    result.ran = true;
    int rc = std::system(cmd.c_str());
    if (rc != -1 && WIFEXITED(rc)) result.status = WEXITSTATUS(rc);
    return result;
}

}  // namespace kestrel
