#include "removal/Program.h"

#include <windows.h>

// No window of its own and no command line: the flow's boxes are the whole
// user interface.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    // Users start the program from their Downloads folder, where anything a
    // web page fetched may lie beside it: every DLL loaded from here on,
    // such as the themes the message boxes bring in, comes from the system
    // folder only, never from the program's own. Every Windows 10 and 11 has
    // the call; should it fail all the same, the program refuses to run
    // rather than run unprotected, without a box, since showing one loads
    // the very DLLs it could not protect.
    if (!SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        OutputDebugStringW(L"orrelin_regdel: the DLL search could not be restricted to the "
                           L"system folder; nothing was done\n");
        return ExitStatus::RunTimeError;
    }
    return RunProgram();
}
