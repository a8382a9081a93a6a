#include "removal/Program.h"

#include "platform/Process.h"
#include "removal/Module1.h"

#include <exception>
#include <string>

namespace {

// Exception texts are narrow and, from the standard library, ASCII; any
// other byte is shown as U+FFFD rather than guessed at.
std::u16string Widened(const char* text) {
    std::u16string wide;
    for (; *text != '\0'; ++text) {
        const auto byte = static_cast<unsigned char>(*text);
        wide.push_back(byte < 0x80 ? static_cast<char16_t>(byte) : u'\uFFFD');
    }
    return wide;
}

// The reason goes to the debugger, then the user is told in a box. Either may
// fail in turn (no memory left, no desktop); the run ends with its status all
// the same.
void ReportRunTimeError(const char* reason) noexcept {
    try {
        Process::DebugReport(u"orrelin_regdel: unexpected run-time error: " +
                             (reason ? Widened(reason) : u"unknown exception") + u"\n");
    } catch (...) {
    }
    try {
        Module1::ReportUnexpectedError();
    } catch (...) {
    }
}

} // namespace

int RunProgram() noexcept {
    try {
        Module1::Main();
        return ExitStatus::Removed;
    } catch (const std::exception& error) {
        ReportRunTimeError(error.what());
    } catch (...) {
        ReportRunTimeError(nullptr);
    }
    return ExitStatus::RunTimeError;
}
