// Running composed command lines through the shell.
#pragma once

#include "unit/text_builder.h"

// Runs cmd with system() unless composing it had to cut it: a cut command
// line means something else and is never run (logged instead).  True when
// it was run; the command's own exit status is not examined.
bool run_command(const text_builder& cmd);
