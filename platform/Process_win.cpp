#include "platform/Process.h"

#include <windows.h>

#include <string>

namespace Process {
namespace {

// The platform wants NUL-terminated wide text; char16_t and wchar_t share
// their representation on Windows.
std::wstring Terminated(std::u16string_view text) {
    return std::wstring(text.begin(), text.end());
}

} // namespace

int ShowMessage(std::u16string_view text, std::u16string_view title, std::uint32_t flags) {
    return MessageBoxW(nullptr, Terminated(text).c_str(), Terminated(title).c_str(), flags);
}

void End(int exitCode) {
    ExitProcess(static_cast<UINT>(exitCode));
}

void DebugReport(std::u16string_view text) {
    OutputDebugStringW(Terminated(text).c_str());
}

} // namespace Process
