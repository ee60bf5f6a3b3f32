#include "internal/shell_command.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "internal/kol_log.h"

namespace kestrel {

command_result run_command(const text_builder& cmd, long long file_size_limit) {
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
    pid_t pid = ::fork();
    if (pid == 0) {
        if (file_size_limit > 0) {
            rlimit limit{};
            ::getrlimit(RLIMIT_FSIZE, &limit);
            if (limit.rlim_max == RLIM_INFINITY || limit.rlim_max > static_cast<rlim_t>(file_size_limit))
                limit.rlim_cur = static_cast<rlim_t>(file_size_limit);
            if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(127);
            // Stopped at the limit even where our starter ignored the signal.
            ::signal(SIGXFSZ, SIG_DFL);
        }
        ::execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    if (pid < 0) return result;
    int rc = 0;
    while (::waitpid(pid, &rc, 0) < 0) {
        if (errno != EINTR) return result;
    }
    if (WIFEXITED(rc)) result.status = WEXITSTATUS(rc);
    if (WIFSIGNALED(rc)) result.signal = WTERMSIG(rc);
    return result;
}

}  // namespace kestrel
