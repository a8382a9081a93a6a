#pragma once

#include <cstdint>

// Registry calls made through the accessor's seam since the last reset. The
// benchmark links a counting copy of the seam in place of the real one.
namespace SeamCalls {

std::uint64_t Count();
void Reset();

} // namespace SeamCalls
