#pragma once

#include "removal/ExitStatus.h"

// Runs the removal flow and gives the exit status of a run that came back:
// Removed, or RunTimeError when an exception reached this far (its reason
// goes to the debugger; the user sees no further box).
int RunProgram() noexcept;
