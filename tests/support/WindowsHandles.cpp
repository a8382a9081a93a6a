#include "tests/support/TestRegistry.h"

#include <windows.h>

// Registry keys are kernel handles, so the process's handle count shows any
// key left open.
int TestRegistry::OpenHandles() {
    DWORD count = 0;
    GetProcessHandleCount(GetCurrentProcess(), &count);
    return static_cast<int>(count);
}
