#pragma once

#include <cstdint>

// Calls this program makes of the nine advapi32 functions behind the
// accessor's seam, counted where the program imports them, so the product's
// own seam is what runs.
namespace RegistryCalls {

// Points the program's import entries of the nine functions at counting
// forwarders. False, and nothing counted, when one of them is not imported.
bool StartCounting();

// Calls since the last reset.
std::uint64_t Count();
void Reset();

} // namespace RegistryCalls
