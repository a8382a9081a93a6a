#include "removal/Module1.h"

#include "platform/Dialogs.h"
#include "registry/cRegistory.h"
#include "removal/ExitStatus.h"

#include <cstdint>
#include <vector>

namespace Module1 {
namespace {

constexpr char16_t SettingsKey[] = u"Software\\VB and VBA Program Settings\\Orrelin";
constexpr char16_t Separator = u'\\';

constexpr char16_t Title[] = u"「Orrelin」の設定の削除";
constexpr char16_t ConfirmText[] = u"「Orrelin」の設定をすべて削除します。よろしいですか？";
constexpr char16_t SuccessText[] = u"「Orrelin」の設定の削除に成功しました。";
constexpr char16_t FailureText[] = u"レジストリの削除に失敗しました。";
constexpr char16_t UnexpectedErrorText[] =
    u"予期しないエラーのため、「Orrelin」の設定の削除を中止しました。";

// The module's one accessor: made at its first use, kept until the process
// ends, and shared by every level of the recursion.
cRegistory& objReg() {
    static cRegistory reg;
    return reg;
}

void DeleteValues(const std::u16string& strKey) {
    objReg().SubKey(strKey);
    std::vector<std::u16string> valueNames;
    const std::int32_t count = objReg().EnumValueName(valueNames);
    for (std::int32_t index = 0; index < count; ++index) {
        if (!objReg().DeleteValueName(valueNames[static_cast<std::size_t>(index)])) {
            ReportFailureAndEnd();
        }
    }
}

void DeleteSubkeyTrees(const std::u16string& strKey) {
    objReg().SubKey(strKey);
    std::vector<std::u16string> subkeyNames;
    const std::int32_t count = objReg().EnumSubKey(subkeyNames);
    for (std::int32_t index = 0; index < count; ++index) {
        DeleteKeyTree(strKey + Separator + subkeyNames[static_cast<std::size_t>(index)]);
    }
}

// Deletes the key from its parent. A path without a separator names a key
// right below the root, which is its parent then.
void DeleteFromParent(const std::u16string& strKey) {
    const auto split = strKey.rfind(Separator);
    const bool atRoot = split == std::u16string::npos;
    objReg().SubKey(atRoot ? std::u16string() : strKey.substr(0, split));
    if (!objReg().DeleteSubKey(atRoot ? strKey : strKey.substr(split + 1))) {
        ReportFailureAndEnd();
    }
}

// A path with an empty component would address the root or a key other than
// the one meant; the root's whole tree must never be taken for it.
bool IsKeyPath(const std::u16string& strKey) {
    return !strKey.empty() && strKey.front() != Separator && strKey.back() != Separator &&
           strKey.find(u"\\\\") == std::u16string::npos;
}

} // namespace

void Main() {
    const int answer = Dialogs::ShowMessage(
        ConfirmText, Title,
        Dialogs::Flags::OkCancel | Dialogs::Flags::IconQuestion | Dialogs::Flags::DefaultButton2);
    if (answer != Dialogs::IdOk) {
        Dialogs::EndProcess(ExitStatus::Cancelled);
    }
    objReg().RegKey(RootKey::CurrentUser);
    DeleteKeyTree(SettingsKey);
    Dialogs::ShowMessage(SuccessText, Title, Dialogs::Flags::Ok | Dialogs::Flags::IconInformation);
}

void DeleteKeyTree(const std::u16string& strKey) {
    if (!IsKeyPath(strKey)) {
        ReportFailureAndEnd();
    }
    DeleteValues(strKey);
    DeleteSubkeyTrees(strKey);
    DeleteFromParent(strKey);
}

void ReportFailureAndEnd() {
    Dialogs::ShowMessage(FailureText, Title, Dialogs::Flags::Ok | Dialogs::Flags::IconExclamation);
    Dialogs::EndProcess(ExitStatus::RemovalFailed);
}

void ReportUnexpectedError() {
    Dialogs::ShowMessage(UnexpectedErrorText, Title,
                         Dialogs::Flags::Ok | Dialogs::Flags::IconError);
}

} // namespace Module1
