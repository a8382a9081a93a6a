#pragma once

#include "removal/Module1.h"
#include "tests/support/ScriptedProcess.h"

#include <optional>
#include <string>

// The removal flow's boxes as a user sees them, and runs of the flow whose
// end of the process comes back as its exit status.
namespace RemovalRun {

using ScriptedProcess::Box;

// The button a box returns for Cancel, Escape or its close button.
inline constexpr int IdCancel = 2;

inline const std::u16string Title = u"「Orrelin」の設定の削除";
inline const Box Confirmation{u"「Orrelin」の設定をすべて削除します。よろしいですか？", Title,
                              0x121};
inline const Box Success{u"「Orrelin」の設定の削除に成功しました。", Title, 0x40};
inline const Box Failure{u"レジストリの削除に失敗しました。", Title, 0x30};
inline const Box UnexpectedError{u"予期しないエラーのため、「Orrelin」の設定の削除を中止しました。",
                                 Title, 0x10};

// The exit status if `run` ended the process, nullopt if it came back.
template <typename Run>
std::optional<int> ExitStatusOf(Run run) {
    try {
        run();
    } catch (const ScriptedProcess::ProcessEnded& ended) {
        return ended.exitCode;
    }
    return std::nullopt;
}

inline std::optional<int> RunMain() {
    return ExitStatusOf([] { Module1::Main(); });
}

inline std::optional<int> RunDeleteKeyTree(const std::u16string& strKey) {
    return ExitStatusOf([&strKey] { Module1::DeleteKeyTree(strKey); });
}

} // namespace RemovalRun
