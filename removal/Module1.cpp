#include "removal/Module1.h"

#include "platform/Process.h"
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
        const std::u16string& name = subkeyNames[static_cast<std::size_t>(index)];
        // No key's name holds a separator: the code page made this one, and
        // as a path it would lead somewhere else.
        if (name.find(Separator) != std::u16string::npos) {
            ReportFailureAndEnd();
        }
        DeleteKeyTree(strKey + Separator + name);
    }
}

// Points the accessor at the key's parent and gives the key's name there. A
// path without a separator names a key right below the root, which is its
// parent then.
std::u16string AtParent(const std::u16string& strKey) {
    const auto split = strKey.rfind(Separator);
    const bool atRoot = split == std::u16string::npos;
    objReg().SubKey(atRoot ? std::u16string() : strKey.substr(0, split));
    return atRoot ? strKey : strKey.substr(split + 1);
}

void DeleteFromParent(const std::u16string& strKey) {
    if (!objReg().DeleteSubKey(AtParent(strKey))) {
        ReportFailureAndEnd();
    }
}

// A link belongs to the tree, the key it points to does not: the link is
// deleted as it is, and nothing is listed or deleted through it. A key that
// cannot be told from a link is not worked on at all.
bool IsLink(const std::u16string& strKey) {
    const LinkTest link = objReg().IsLinkKey(AtParent(strKey));
    if (link == LinkTest::CannotTell) {
        ReportFailureAndEnd();
    }
    return link == LinkTest::Link;
}

// A path with an empty component would address the root or a key other than
// the one meant; the root's whole tree must never be taken for it.
bool IsKeyPath(const std::u16string& strKey) {
    return !strKey.empty() && strKey.front() != Separator && strKey.back() != Separator &&
           strKey.find(u"\\\\") == std::u16string::npos;
}

} // namespace

void Main() {
    const int answer = Process::ShowMessage(
        ConfirmText, Title,
        Process::Flags::OkCancel | Process::Flags::IconQuestion | Process::Flags::DefaultButton2);
    if (answer != Process::IdOk) {
        Process::End(ExitStatus::Cancelled);
    }
    objReg().RegKey(RootKey::CurrentUser);
    DeleteKeyTree(SettingsKey);
    Process::ShowMessage(SuccessText, Title, Process::Flags::Ok | Process::Flags::IconInformation);
}

void DeleteKeyTree(const std::u16string& strKey) {
    if (!IsKeyPath(strKey)) {
        ReportFailureAndEnd();
    }
    if (!IsLink(strKey)) {
        DeleteValues(strKey);
        DeleteSubkeyTrees(strKey);
    }
    DeleteFromParent(strKey);
}

void ReportFailureAndEnd() {
    Process::ShowMessage(FailureText, Title, Process::Flags::Ok | Process::Flags::IconExclamation);
    Process::End(ExitStatus::RemovalFailed);
}

void ReportUnexpectedError() {
    Process::ShowMessage(UnexpectedErrorText, Title,
                         Process::Flags::Ok | Process::Flags::IconError);
}

} // namespace Module1
