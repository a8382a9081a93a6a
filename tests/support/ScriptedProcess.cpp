#include "tests/support/ScriptedProcess.h"

#include "platform/Process.h"

#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <utility>

namespace {

struct Script {
    std::deque<int> answers;
    std::optional<std::size_t> throwAt;
    std::string throwReason;
    std::size_t asked = 0;
    std::vector<ScriptedProcess::Box> shown;
    std::vector<std::u16string> debugReports;
};

Script& TheScript() {
    static Script script;
    return script;
}

} // namespace

namespace ScriptedProcess {

void Reset() {
    TheScript() = Script{};
}

void Answer(std::deque<int> buttons) {
    TheScript().answers = std::move(buttons);
}

void ThrowAtBox(std::size_t box, std::string reason) {
    TheScript().throwAt = box;
    TheScript().throwReason = std::move(reason);
}

const std::vector<Box>& Shown() {
    return TheScript().shown;
}

const std::vector<std::u16string>& DebugReports() {
    return TheScript().debugReports;
}

} // namespace ScriptedProcess

namespace Process {

int ShowMessage(std::u16string_view text, std::u16string_view title, std::uint32_t flags) {
    Script& script = TheScript();
    if (script.throwAt == script.asked++) {
        throw std::runtime_error(script.throwReason);
    }
    script.shown.push_back({std::u16string(text), std::u16string(title), flags});
    if (script.answers.empty()) {
        ADD_FAILURE() << "a box was shown that the test did not expect";
        return 0;
    }
    const int answer = script.answers.front();
    script.answers.pop_front();
    return answer;
}

void End(int exitCode) {
    throw ScriptedProcess::ProcessEnded{exitCode};
}

void DebugReport(std::u16string_view text) {
    TheScript().debugReports.emplace_back(text);
}

} // namespace Process
