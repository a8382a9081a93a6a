#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

// Stand-in for the platform's message boxes and process end: each box is
// recorded and answered from a script, and the end of the process becomes
// an exception that unwinds the test instead.
namespace ScriptedProcess {

struct Box {
    std::u16string text;
    std::u16string title;
    std::uint32_t flags = 0;
    bool operator==(const Box&) const = default;
};

// Thrown where the process would end.
struct ProcessEnded {
    int exitCode;
};

// Clears the record and the script.
void Reset();

// Buttons to press on the next boxes, in order. A box with no answer left
// fails the test and returns 0, as a box that could not be shown does.
void Answer(std::deque<int> buttons);

// Makes box number `box` (0 for the first asked for) throw
// std::runtime_error(reason) instead of showing; it is not recorded as shown.
void ThrowAtBox(std::size_t box, std::string reason);

const std::vector<Box>& Shown();
const std::vector<std::u16string>& DebugReports();

} // namespace ScriptedProcess
