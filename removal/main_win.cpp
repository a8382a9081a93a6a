#include "removal/Program.h"

#include <windows.h>

// No window of its own and no command line: the flow's boxes are the whole
// user interface.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    return RunProgram();
}
