#pragma once

#include <string>

// The program a test binary checks: the first argument that is not an
// option, as ctest passes it (a Windows path, also under Wine). Read from
// the process's own command line, so nothing has to keep it.
std::wstring ProgramUnderTest();

// For main: says how to call the binary when the argument is missing.
bool HaveProgramUnderTest(const char* binaryName);
