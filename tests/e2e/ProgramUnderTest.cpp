#include "tests/e2e/ProgramUnderTest.h"

#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <memory>

namespace {

struct LocalFreer {
    void operator()(LPWSTR* arguments) const { LocalFree(arguments); }
};

} // namespace

std::wstring ProgramUnderTest() {
    int count = 0;
    const std::unique_ptr<LPWSTR, LocalFreer> arguments(
        CommandLineToArgvW(GetCommandLineW(), &count));
    for (int i = 1; arguments && i < count; ++i) {
        const std::wstring argument = arguments.get()[i];
        if (argument.rfind(L"--", 0) != 0) {
            return argument;
        }
    }
    return {};
}

bool HaveProgramUnderTest(const char* binaryName) {
    const std::wstring program = ProgramUnderTest();
    if (program.empty() || GetFileAttributesW(program.c_str()) == INVALID_FILE_ATTRIBUTES) {
        std::fprintf(stderr, "usage: %s [gtest options] path\\to\\orrelin_regdel.exe\n",
                     binaryName);
        return false;
    }
    return true;
}
