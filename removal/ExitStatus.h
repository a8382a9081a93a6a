#pragma once

// The program's exit statuses, one for each way a run ends.
namespace ExitStatus {
inline constexpr int Removed = 0;       // success box shown
inline constexpr int Cancelled = 1;     // confirmation not answered OK; nothing touched
inline constexpr int RemovalFailed = 2; // failure box shown
inline constexpr int RunTimeError = 3;  // an exception reached the entry
} // namespace ExitStatus
