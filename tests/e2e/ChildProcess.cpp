#include "tests/e2e/ChildProcess.h"

#include <vector>

namespace {

constexpr UINT KilledByTheTest = 0xDEAD;

} // namespace

ChildProcess::ChildProcess(const std::wstring& program) {
    // CreateProcessW may write into the command line, so it gets its own copy.
    const std::wstring quoted = L"\"" + program + L"\"";
    std::vector<wchar_t> commandLine(quoted.begin(), quoted.end());
    commandLine.push_back(L'\0');

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &started)) {
        startError_ = GetLastError();
        return;
    }
    CloseHandle(started.hThread);
    process_.reset(started.hProcess);
    id_ = started.dwProcessId;
}

ChildProcess::~ChildProcess() {
    Terminate();
}

std::optional<DWORD> ChildProcess::ExitCode() const {
    return WaitForExit(std::chrono::milliseconds(0));
}

std::optional<DWORD> ChildProcess::WaitForExit(std::chrono::milliseconds patience) const {
    if (!process_ || WaitForSingleObject(process_.get(), static_cast<DWORD>(patience.count())) !=
                         WAIT_OBJECT_0) {
        return std::nullopt;
    }
    DWORD code = 0;
    GetExitCodeProcess(process_.get(), &code);
    return code;
}

void ChildProcess::Terminate() {
    if (process_ && !ExitCode()) {
        TerminateProcess(process_.get(), KilledByTheTest);
        WaitForSingleObject(process_.get(), 10000);
    }
}
