#pragma once

#include <windows.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>

struct HandleCloser {
    void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using UniqueHandle = std::unique_ptr<std::remove_pointer_t<HANDLE>, HandleCloser>;

// A started program. It never outlives the object: one still running when
// the object goes is terminated, so a failed case cannot leave it behind.
class ChildProcess {
public:
    explicit ChildProcess(const std::wstring& program);
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();

    bool Started() const { return process_ != nullptr; }
    // The reason it could not be started, for the failure message.
    DWORD StartError() const { return startError_; }
    DWORD Id() const { return id_; }

    // Empty while the program runs.
    std::optional<DWORD> ExitCode() const;
    std::optional<DWORD> WaitForExit(std::chrono::milliseconds patience) const;
    void Terminate();

private:
    UniqueHandle process_;
    DWORD id_ = 0;
    DWORD startError_ = 0;
};
