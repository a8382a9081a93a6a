#pragma once

#include <cstdint>

// Calls this program makes of the registry functions behind the accessor's
// seam, eight of advapi32 and two of ntdll, counted where the program
// imports them, so the product's own seam is what runs. The benchmark counts its calls here, and
// the Windows tests the keys left open.
namespace RegistryCalls {

inline constexpr int CountedFunctions = 10;

// Points the program's import entries of those of the functions it
// imports at counting forwarders, and gives how many it found: 0 when it
// cannot count at all. A function the program does not import is one it
// never calls (a seam whose close does nothing imports no RegCloseKey).
int StartCounting();

// Calls since the last reset.
std::uint64_t Count();
void Reset();

// Keys that an open or a create has given the program since counting
// started, predefined roots aside, and that it has not closed.
int OpenKeys();

} // namespace RegistryCalls
