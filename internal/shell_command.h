// SPDX-License-Identifier: ISC
// Running composed command lines through the shell: the one way the
// library runs a command.
#pragma once

#include <sys/types.h>

#include "internal/text_builder.h"

namespace kestrel {

// What became of one command line.
struct command_result {
    bool ran = false;  // false: composing it had to cut it, so it was refused
    int status = -1;   // the shell's exit status; -1 when it could not start or died by a signal
    int signal = 0;    // the signal that ended it, if one did
    bool timed_out = false;  // stopped at its time limit, with its process group
    bool succeeded() const { return ran && status == 0; }
};

// Runs cmd with /bin/sh -c unless composing it had to cut it: a cut command
// line means something else and is never run (logged instead, by program
// name and length only, since command lines may carry credentials).  With a
// file_size_limit, no file the command writes grows past that many bytes
// (a program that tries is stopped by SIGXFSZ).  With a time_limit, the
// command runs in a process group of its own, killed whole once it has run
// that many seconds.  Unlike system(), signals that end the caller are not
// held off while the command runs.
command_result run_command(const text_builder& cmd, long long file_size_limit = 0, unsigned time_limit = 0);

// Where a time-limited command's process group is kept while it runs (0
// otherwise): memory another process can see, so that whoever stops the
// caller can stop that group too.
void run_command_share_group(pid_t* slot);

// The shell status of a program stopped by signal sig.
constexpr int shell_status_of_signal(int sig) { return 128 + sig; }

}  // namespace kestrel
