// Running composed command lines through the shell: the one way the
// library runs a command.
#pragma once

#include "internal/text_builder.h"

namespace kestrel {

// What became of one command line.
struct command_result {
    bool ran = false;  // false: composing it had to cut it, so it was refused
    int status = -1;   // the shell's exit status; -1 when it could not start or died by a signal
    bool succeeded() const { return ran && status == 0; }
};

// Runs cmd with system() unless composing it had to cut it: a cut command
// line means something else and is never run (logged instead, by program
// name and length only, since command lines may carry credentials).
command_result run_command(const text_builder& cmd);

}  // namespace kestrel
