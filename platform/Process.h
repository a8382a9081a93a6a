#pragma once

#include <cstdint>
#include <string_view>

// What the removal flow needs of the platform besides the registry: a modal
// message box, the immediate end of the process, and the debugger's output
// for the one report a user never sees.
namespace Process {

// Button and icon flags, with the platform's values.
namespace Flags {
inline constexpr std::uint32_t Ok = 0x0;
inline constexpr std::uint32_t OkCancel = 0x1;
inline constexpr std::uint32_t IconError = 0x10;
inline constexpr std::uint32_t IconExclamation = 0x30;
inline constexpr std::uint32_t IconQuestion = 0x20;
inline constexpr std::uint32_t IconInformation = 0x40;
inline constexpr std::uint32_t DefaultButton2 = 0x100;
} // namespace Flags

// Which button closed a box; 0 when the box could not be shown.
inline constexpr int IdOk = 1;

// Shows a modal box with no owner window and waits until it is closed.
int ShowMessage(std::u16string_view text, std::u16string_view title, std::uint32_t flags);

// Ends the process at once with `exitCode`; nothing after the call runs.
[[noreturn]] void End(int exitCode);

// Hands a line to an attached debugger, if any.
void DebugReport(std::u16string_view text);

} // namespace Process
