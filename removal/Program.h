#pragma once

#include "removal/ExitStatus.h"

// Runs the removal flow and gives the exit status of a run that came back:
// Removed, or RunTimeError when an exception reached this far (its reason
// goes to the debugger, and a box tells the user the run was stopped).
int RunProgram() noexcept;
