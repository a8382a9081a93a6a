// The shipped program driven as a user drives it: each case prepares the
// current user's registry, starts the program, reads and answers its message
// boxes from outside, then checks the exit status and the registry.
#include "tests/e2e/ChildProcess.h"
#include "tests/e2e/MessageBoxes.h"
#include "tests/e2e/ProgramUnderTest.h"
#include "tests/e2e/UserRegistry.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

using namespace std::chrono_literals;
using MessageBoxes::Answer;
using UserRegistry::Bytes;
using UserRegistry::Number;
using UserRegistry::Text;

namespace {

constexpr wchar_t Title[] = L"「Orrelin」の設定の削除";
constexpr char ConfirmationText[] = "「Orrelin」の設定をすべて削除します。よろしいですか？";
constexpr char SuccessText[] = "「Orrelin」の設定の削除に成功しました。";
constexpr char FailureText[] = "レジストリの削除に失敗しました。";

constexpr DWORD Removed = 0;
constexpr DWORD Declined = 1;
constexpr DWORD DeletionFailed = 2;

constexpr auto Patience = 20s;

// Another program's settings beside Orrelin's, with a name that starts the
// same (and that no program uses) and a subkey of its own called Orrelin.
constexpr wchar_t SiblingName[] = L"Orrelin Viewer (orrelin_regdel test)";
const std::wstring Sibling = std::wstring(UserRegistry::ProgramSettings) + L"\\" + SiblingName;
// Where a real user's settings wait while the cases run.
constexpr wchar_t AsideRoot[] = L"Software\\orrelin_regdel e2e";
constexpr wchar_t Aside[] = L"Software\\orrelin_regdel e2e\\Orrelin kept aside";

std::wstring Below(const std::wstring& path, const std::wstring& name) {
    return path + L"\\" + name;
}

// Listings run to thousands of lines; a failure shows where they part.
::testing::AssertionResult SameListing(const std::string& now, const std::string& before) {
    if (now == before) {
        return ::testing::AssertionSuccess();
    }
    std::size_t line = 1;
    std::size_t start = 0;
    while (true) {
        const std::size_t endNow = now.find('\n', start);
        const std::size_t endBefore = before.find('\n', start);
        if (now.compare(start, endNow - start, before, start, endBefore - start) != 0 ||
            endNow == std::string::npos || endBefore == std::string::npos) {
            return ::testing::AssertionFailure()
                   << "the listings part at line " << line << ": now \""
                   << now.substr(start, endNow - start) << "\", before \""
                   << before.substr(start, endBefore - start) << "\"";
        }
        start = endNow + 1;
        ++line;
    }
}

void PutEmptySettings() {
    UserRegistry::Put(UserRegistry::Settings);
}

// Everything the removal has to walk: typed values, the unnamed value,
// Japanese names, names longer than the 80 bytes a first listing call
// offers, an empty key, ten levels of nesting and a thousand values.
void PutFullSettings() {
    const std::wstring root = UserRegistry::Settings;
    std::wstring longName;
    for (int i = 0; i < 5; ++i) {
        longName += L"とても長いキーの名前"; // 20 bytes in code page 932
    }
    UserRegistry::Put(root, {Text(L"", L"既定の値"), Text(L"LastFile", L"C:\\データ\\報告書.orr"),
                             Number(L"表示倍率", 150), Bytes(L"Placement", {0x2c, 0, 0xff, 7}),
                             Text(longName, L"長い名前の値")});
    UserRegistry::Put(Below(root, L"Window"), {Number(L"Left", 40), Number(L"Top", 60)});
    UserRegistry::Put(Below(root, L"Window\\ツールバー"), {Text(L"", L""), Text(L"位置", L"上")});
    UserRegistry::Put(Below(root, L"空のキー"));
    UserRegistry::Put(Below(root, longName), {Text(L"x", L"1")});
    UserRegistry::Put(Below(root, longName + L"\\子"), {Number(L"y", 2)});

    std::wstring deep = root;
    for (DWORD level = 1; level <= 10; ++level) {
        deep = Below(deep, L"階層" + std::to_wstring(level));
        UserRegistry::Put(deep, {Number(L"Level", level)});
    }

    std::vector<UserRegistry::Value> many;
    for (int i = 0; i < 1000; ++i) {
        many.push_back(Text(L"最近" + std::to_wstring(i), L"ファイル" + std::to_wstring(i)));
    }
    UserRegistry::Put(Below(root, L"Recent"), many);
}

// Links that stand for the other program's settings, which every case
// compares afterwards with how they were: the link goes as a link, and the
// key it stands for is not listed, changed or deleted.
void PutLinkInsideSettings() {
    PutFullSettings();
    UserRegistry::Link(Below(UserRegistry::Settings, L"Window\\Linked"), Sibling);
}

void PutSettingsAsLink() {
    UserRegistry::Link(UserRegistry::Settings, Sibling);
}

class RemovalProgram : public ::testing::Test {
protected:
    // Orrelin's key is gone between cases (the user's own waits aside): one
    // there now was written by something else, Orrelin itself most likely,
    // and the case stops without starting the program.
    void SetUp() override {
        if (UserRegistry::Exists(UserRegistry::Settings)) {
            GTEST_FAIL() << "HKEY_CURRENT_USER\\" << MessageBoxes::Utf8(UserRegistry::Settings)
                         << " is there, and no case wrote it: close Orrelin while the tests run";
        }
        owned_ = true;
        UserRegistry::Remove(Sibling);
        UserRegistry::Put(Sibling, {Text(L"Theme", L"dark")});
        UserRegistry::Put(Below(Sibling, L"Orrelin"), {Number(L"Kept", 1)});
        siblingBefore_ = UserRegistry::Listing(Sibling);
        othersBefore_ = Others();
    }

    void TearDown() override {
        program_.reset();
        if (!owned_) {
            return;
        }
        EXPECT_TRUE(UserRegistry::Exists(UserRegistry::ProgramSettings));
        EXPECT_TRUE(SameListing(UserRegistry::Listing(Sibling), siblingBefore_))
            << "another program's settings changed";
        EXPECT_TRUE(SameListing(Others(), othersBefore_)) << "a key the cases did not make changed";
        UserRegistry::Remove(UserRegistry::Settings);
        UserRegistry::Remove(Sibling);
    }

    // The folder of all programs' settings without the keys the cases make.
    static std::string Others() {
        return UserRegistry::Listing(UserRegistry::ProgramSettings, {L"Orrelin", SiblingName});
    }

    // Starts the program; its first box, or null after a failure.
    HWND Start(const std::wstring& program = ProgramUnderTest()) {
        program_ = std::make_unique<ChildProcess>(program);
        if (!program_->Started()) {
            ADD_FAILURE() << "cannot start " << MessageBoxes::Utf8(program) << ": error "
                          << program_->StartError();
            return nullptr;
        }
        return AwaitBox(nullptr);
    }

    // The next box after `answered`, or null after a failure.
    HWND AwaitBox(HWND answered) {
        const auto deadline = std::chrono::steady_clock::now() + Patience;
        while (std::chrono::steady_clock::now() < deadline) {
            const HWND box = MessageBoxes::Find(program_->Id(), Title);
            if (box && box != answered) {
                return box;
            }
            if (const auto status = program_->ExitCode()) {
                ADD_FAILURE() << "the program ended with exit status " << *status
                              << " instead of showing its next box";
                return nullptr;
            }
            Sleep(50);
        }
        ADD_FAILURE() << "no message box came within " << Patience.count()
                      << " s; the program is ended";
        program_->Terminate();
        return nullptr;
    }

    // Answers OK on the confirmation and returns the outcome box that follows,
    // having checked its text and that OK is its only button.
    HWND AcceptAndAwaitOutcome(const char* expectedText) {
        const HWND confirmation = Start();
        if (!confirmation) {
            return nullptr;
        }
        MessageBoxes::Give(confirmation, Answer::OkButton);
        const HWND outcome = AwaitBox(confirmation);
        if (outcome) {
            const MessageBoxes::View view = MessageBoxes::Read(outcome);
            EXPECT_EQ(view.text, expectedText);
            EXPECT_EQ(view.buttons, std::vector<int>{IDOK});
        }
        return outcome;
    }

    // The exit status once `answered` has closed; a failure if another box
    // comes instead or the program does not end.
    std::optional<DWORD> AwaitExit(HWND answered) {
        const auto deadline = std::chrono::steady_clock::now() + Patience;
        while (std::chrono::steady_clock::now() < deadline) {
            if (const auto status = program_->ExitCode()) {
                return status;
            }
            const HWND box = MessageBoxes::Find(program_->Id(), Title);
            if (box && box != answered) {
                ADD_FAILURE() << "an unexpected box came: " << MessageBoxes::Read(box).text;
                program_->Terminate();
                return std::nullopt;
            }
            Sleep(50);
        }
        ADD_FAILURE() << (IsWindow(answered) ? "the answered box is still open"
                                             : "the program did not end")
                      << " after " << Patience.count() << " s; the program is ended";
        program_->Terminate();
        return std::nullopt;
    }

    std::unique_ptr<ChildProcess> program_;

private:
    bool owned_ = false;
    std::string siblingBefore_;
    std::string othersBefore_;
};

TEST_F(RemovalProgram, ConfirmationOffersOkAndCancelWithCancelAsTheDefault) {
    PutFullSettings();
    const HWND box = Start();
    ASSERT_NE(box, nullptr);

    const MessageBoxes::View view = MessageBoxes::Read(box);
    EXPECT_EQ(view.text, ConfirmationText);
    EXPECT_EQ(view.buttons, (std::vector<int>{IDOK, IDCANCEL}));
    EXPECT_EQ(view.defaultButton, IDCANCEL);

    MessageBoxes::Give(box, Answer::CancelButton);
    EXPECT_EQ(AwaitExit(box), Declined);
}

struct Declining {
    const char* name;
    Answer answer;
};

void PrintTo(const Declining& declining, std::ostream* out) {
    *out << declining.name;
}

class AnyAnswerButOk : public RemovalProgram, public ::testing::WithParamInterface<Declining> {};

TEST_P(AnyAnswerButOk, LeavesTheSettingsAndEndsWithoutAnotherBox) {
    PutFullSettings();
    const std::string before = UserRegistry::Listing(UserRegistry::Settings);
    const HWND box = Start();
    ASSERT_NE(box, nullptr);

    MessageBoxes::Give(box, GetParam().answer);
    EXPECT_EQ(AwaitExit(box), Declined);
    EXPECT_TRUE(SameListing(UserRegistry::Listing(UserRegistry::Settings), before));
}

INSTANTIATE_TEST_SUITE_P(Answers, AnyAnswerButOk,
                         ::testing::Values(Declining{"CancelButton", Answer::CancelButton},
                                           // Cancel is the default button.
                                           Declining{"EnterKey", Answer::EnterKey},
                                           Declining{"EscapeKey", Answer::EscapeKey},
                                           Declining{"CloseBox", Answer::CloseBox}),
                         [](const auto& info) { return std::string(info.param.name); });

struct SettingsTree {
    const char* name;
    void (*put)();
};

void PrintTo(const SettingsTree& tree, std::ostream* out) {
    *out << tree.name;
}

class OkOnConfirmation : public RemovalProgram,
                         public ::testing::WithParamInterface<SettingsTree> {};

TEST_P(OkOnConfirmation, RemovesTheWholeSettingsKeyAndReportsSuccess) {
    GetParam().put();
    const HWND success = AcceptAndAwaitOutcome(SuccessText);
    ASSERT_NE(success, nullptr);
    // Success is told only once the work is done.
    EXPECT_EQ(UserRegistry::Listing(UserRegistry::Settings), "<missing>");

    MessageBoxes::Give(success, Answer::OkButton);
    EXPECT_EQ(AwaitExit(success), Removed);
    EXPECT_FALSE(UserRegistry::Exists(UserRegistry::Settings));
}

INSTANTIATE_TEST_SUITE_P(Trees, OkOnConfirmation,
                         ::testing::Values(SettingsTree{"FullTree", PutFullSettings},
                                           SettingsTree{"EmptyKey", PutEmptySettings},
                                           SettingsTree{"LinkInside", PutLinkInsideSettings},
                                           SettingsTree{"SettingsKeyIsALink", PutSettingsAsLink}),
                         [](const auto& info) { return std::string(info.param.name); });

// A link inside the tree that withholds the right to read its link value
// cannot be told from a key: the run stops with the failure box, and
// nothing of the other program's settings it stands for is touched.
TEST_F(RemovalProgram, LinkThatHidesWhatItIsEndsTheRunWithTheFailureBox) {
    PutFullSettings();
    const std::wstring link = Below(UserRegistry::Settings, L"Window\\Hidden");
    UserRegistry::Link(link, Sibling);
    UserRegistry::Withhold(link, KEY_QUERY_VALUE);
    const HWND failure = AcceptAndAwaitOutcome(FailureText);
    ASSERT_NE(failure, nullptr);

    MessageBoxes::Give(failure, Answer::OkButton);
    EXPECT_EQ(AwaitExit(failure), DeletionFailed);
    EXPECT_TRUE(UserRegistry::Exists(UserRegistry::Settings));
}

// Also what a second run after a successful one meets.
TEST_F(RemovalProgram, MissingSettingsKeyIsReportedAsAFailure) {
    const HWND failure = AcceptAndAwaitOutcome(FailureText);
    ASSERT_NE(failure, nullptr);

    MessageBoxes::Give(failure, Answer::OkButton);
    EXPECT_EQ(AwaitExit(failure), DeletionFailed);
    EXPECT_FALSE(UserRegistry::Exists(UserRegistry::Settings));
}

// A folder of the case's own in the user's temporary folder, standing for
// Downloads: a copy of the program, and beside it the planted uxtheme.dll
// that the test suite's build keeps in planted\ beside the suite.
class DownloadsFolder {
public:
    DownloadsFolder() {
        std::error_code error;
        const auto folder = std::filesystem::temp_directory_path(error) /
                            ("orrelin_regdel planted DLL " + std::to_string(GetCurrentProcessId()));
        // Never one that is already there: the case deletes what it made only.
        if (error || !std::filesystem::create_directory(folder, error)) {
            ADD_FAILURE() << "cannot make a folder of the case's own at "
                          << MessageBoxes::Utf8(folder.wstring());
            return;
        }
        folder_ = folder;
        std::wstring suite(MAX_PATH, L'\0');
        suite.resize(GetModuleFileNameW(nullptr, suite.data(), static_cast<DWORD>(suite.size())));
        const auto planted = std::filesystem::path(suite).parent_path() / L"planted\\uxtheme.dll";
        for (const auto& [from, what] :
             {std::pair{std::filesystem::path(ProgramUnderTest()), "the program"},
              std::pair{planted, "the planted DLL"}}) {
            if (!std::filesystem::copy_file(from, folder_ / from.filename(), error)) {
                ADD_FAILURE() << "cannot copy " << what << " from "
                              << MessageBoxes::Utf8(from.wstring()) << ": " << error.message();
            }
        }
    }
    DownloadsFolder(const DownloadsFolder&) = delete;
    DownloadsFolder& operator=(const DownloadsFolder&) = delete;
    ~DownloadsFolder() {
        std::error_code ignored;
        if (!folder_.empty()) {
            std::filesystem::remove_all(folder_, ignored);
        }
    }

    std::wstring Program() const {
        return (folder_ / std::filesystem::path(ProgramUnderTest()).filename()).wstring();
    }
    std::filesystem::path Dll(const wchar_t* name = L"uxtheme.dll") const { return folder_ / name; }
    // What the planted DLL leaves once it is loaded under that name.
    bool Marked(const wchar_t* name = L"uxtheme.dll") const {
        return std::filesystem::exists(Dll(name) += L".loaded");
    }

private:
    std::filesystem::path folder_;
};

// Windows looks beside a program first for any DLL that is not one of its
// known ones; Wine takes its own uxtheme instead, unless its overrides prefer
// a native one. A program that Wine starts gets them from the Unix
// environment of the process that starts it, as ctest set it, not from that
// process's variables as changed since.
bool WineTakesNativeUxtheme() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (!ntdll || !GetProcAddress(ntdll, "wine_get_version")) {
        return true;
    }
    std::wstring overrides(32767, L'\0');
    overrides.resize(GetEnvironmentVariableW(L"WINEDLLOVERRIDES", overrides.data(),
                                             static_cast<DWORD>(overrides.size())));
    return overrides.find(L"uxtheme=n") != std::wstring::npos;
}

// Users run the program from their Downloads folder, where anything a web
// page fetched may lie beside it. The folder goes after the program has
// ended.
class RemovalProgramInDownloads : public RemovalProgram {
protected:
    const DownloadsFolder downloads_;
};

// The confirmation box loads uxtheme: not the planted one.
TEST_F(RemovalProgramInDownloads, LoadsNoDllPlantedBesideIt) {
    ASSERT_FALSE(HasFailure());
    ASSERT_TRUE(WineTakesNativeUxtheme())
        << "under Wine the case needs WINEDLLOVERRIDES=uxtheme=n,b, as ctest sets it";
    // Loaded, the planted DLL leaves its mark and refuses to stay. Here, as
    // uxtheme, it would give way to Wine's own: it is tried under another name.
    const wchar_t* tried = L"planted copy.dll";
    ASSERT_TRUE(std::filesystem::copy_file(downloads_.Dll(), downloads_.Dll(tried)));
    EXPECT_EQ(LoadLibraryW(downloads_.Dll(tried).c_str()), nullptr);
    ASSERT_TRUE(downloads_.Marked(tried)) << "the planted DLL left no mark when loaded";

    const HWND box = Start(downloads_.Program());
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(MessageBoxes::Read(box).text, ConfirmationText);
    MessageBoxes::Give(box, Answer::CancelButton);
    EXPECT_EQ(AwaitExit(box), Declined);
    EXPECT_FALSE(downloads_.Marked()) << "the program loaded the uxtheme.dll beside it";
}

// On a real machine the cases would delete the user's own Orrelin settings:
// they are copied aside first and put back at the end. Where that cannot be
// done surely, no case runs and nothing is touched.
class UsersSettingsKept : public ::testing::Environment {
public:
    void SetUp() override {
        ASSERT_FALSE(UserRegistry::Exists(Aside))
            << "HKEY_CURRENT_USER\\" << MessageBoxes::Utf8(Aside)
            << " holds settings kept aside by an earlier run that did not finish; copy them "
               "back to HKEY_CURRENT_USER\\"
            << MessageBoxes::Utf8(UserRegistry::Settings) << " and delete that key first";
        programSettingsExisted_ = UserRegistry::Exists(UserRegistry::ProgramSettings);
        if (UserRegistry::Exists(UserRegistry::Settings)) {
            settingsBefore_ = UserRegistry::Listing(UserRegistry::Settings);
            UserRegistry::Copy(UserRegistry::Settings, Aside);
            if (::testing::Test::HasFailure()) {
                UserRegistry::Remove(AsideRoot);
                GTEST_FAIL() << "cannot copy HKEY_CURRENT_USER\\"
                             << MessageBoxes::Utf8(UserRegistry::Settings)
                             << " aside; no case has run, and it is as it was";
            }
            keptAside_ = true;
            UserRegistry::Remove(UserRegistry::Settings);
        }
        ready_ = true;
    }

    void TearDown() override {
        if (!ready_) {
            return;
        }
        UserRegistry::Remove(UserRegistry::Settings);
        if (keptAside_) {
            UserRegistry::Copy(Aside, UserRegistry::Settings);
            // The copy aside goes only once the settings are back as they were.
            if (!::testing::Test::HasFailure() &&
                UserRegistry::Listing(UserRegistry::Settings) == settingsBefore_) {
                UserRegistry::Remove(AsideRoot);
            } else {
                ADD_FAILURE() << "the settings put back are not the user's; they are still kept "
                                 "in HKEY_CURRENT_USER\\"
                              << MessageBoxes::Utf8(Aside);
            }
        }
        if (!programSettingsExisted_ && UserRegistry::IsEmpty(UserRegistry::ProgramSettings)) {
            UserRegistry::Remove(UserRegistry::ProgramSettings);
        }
    }

private:
    bool ready_ = false;
    bool keptAside_ = false;
    bool programSettingsExisted_ = false;
    std::string settingsBefore_;
};

} // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (!HaveProgramUnderTest(argv[0])) {
        return 2;
    }
    ::testing::AddGlobalTestEnvironment(std::make_unique<UsersSettingsKept>().release());
    return RUN_ALL_TESTS();
}
