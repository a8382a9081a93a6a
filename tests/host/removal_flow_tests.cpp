// The whole run as a user sees it: the boxes, the deletions in the order the
// registry receives them, and how a run ends. Host only: it answers boxes
// from a script and injects failures into the in-memory registry.
#include "platform/Dialogs.h"
#include "removal/Module1.h"
#include "removal/Program.h"
#include "tests/support/FakeRegistry.h"
#include "tests/support/SettingsTest.h"

#include <optional>
#include <utility>

using FakeRegistry::Op;
using ScriptedDialogs::Box;

namespace {

const std::u16string Title = u"「Orrelin」の設定の削除";
const Box Confirmation{u"「Orrelin」の設定をすべて削除します。よろしいですか？", Title, 0x121};
const Box Success{u"「Orrelin」の設定の削除に成功しました。", Title, 0x40};
const Box Failure{u"レジストリの削除に失敗しました。", Title, 0x30};
const Box UnexpectedError{u"予期しないエラーのため、「Orrelin」の設定の削除を中止しました。", Title,
                          0x10};

// A deletion as the registry received it: the key it was made in, below
// HKCU\Software unless told otherwise, and the value or subkey name.
using Deletion = std::pair<std::string, std::string>;
const std::string ParentKey = "VB and VBA Program Settings";
const std::string SettingsKey = ParentKey + "\\Orrelin";

std::vector<Deletion> Deletions(const std::string& below = "HKCU\\Software\\") {
    std::vector<Deletion> deletions;
    for (const auto& call : FakeRegistry::Log()) {
        if (call.op == Op::DeleteValue || call.op == Op::DeleteKey) {
            deletions.emplace_back(
                call.key.starts_with(below) ? call.key.substr(below.size()) : call.key, call.name);
        }
    }
    return deletions;
}

// Runs Main; gives the exit status if the process was ended inside.
std::optional<int> RunMain() {
    try {
        Module1::Main();
    } catch (const ScriptedDialogs::ProcessEnded& ended) {
        return ended.exitCode;
    }
    return std::nullopt;
}

std::optional<int> RunDeleteKeyTree(const std::u16string& strKey) {
    try {
        Module1::DeleteKeyTree(strKey);
    } catch (const ScriptedDialogs::ProcessEnded& ended) {
        return ended.exitCode;
    }
    return std::nullopt;
}

} // namespace

class RemovalFlow : public SettingsTest {
protected:
    void SetUp() override {
        SettingsTest::SetUp();
        TestRegistry::SetString(Parent, "SharedValue", "stays");
        TestRegistry::SetString(Under(Parent, "OtherProgram\\Window"), "Left", "10");
        otherProgram_ = TestRegistry::Snapshot(Under(Parent, "OtherProgram"));
    }
    void TearDown() override {
        FakeRegistry::FailWhen(nullptr);
        EXPECT_EQ(
            TestRegistry::ReadValue(Parent, "SharedValue"),
            (TestRegistry::StoredValue{RegistryApi::TypeString, {'s', 't', 'a', 'y', 's', 0}}));
        EXPECT_EQ(TestRegistry::Snapshot(Under(Parent, "OtherProgram")), otherProgram_);
        SettingsTest::TearDown();
    }

    // A small tree whose deletion order is easy to read: values a and b, subkey S1
    // holding x, and the empty subkey S2.
    void SeedExample() {
        TestRegistry::SetString(Settings, "a", "1");
        TestRegistry::SetString(Settings, "b", "2");
        TestRegistry::SetString(Under(Settings, "S1"), "x", "3");
        TestRegistry::CreateKey(Under(Settings, "S2"));
    }

    // Starts the record of registry calls here, after the seeding.
    void Seeded() { FakeRegistry::ClearLog(); }

private:
    std::string otherProgram_;
};

TEST_F(RemovalFlow, DeletesValuesFirstThenSubkeysDepthFirstThenTheKey) {
    SeedExample();
    Seeded();
    ScriptedDialogs::Answer({Dialogs::IdOk, Dialogs::IdOk});

    EXPECT_EQ(RunMain(), std::nullopt);

    EXPECT_EQ(Deletions(), (std::vector<Deletion>{{SettingsKey, "a"},
                                                  {SettingsKey, "b"},
                                                  {SettingsKey + "\\S1", "x"},
                                                  {SettingsKey, "S1"},
                                                  {SettingsKey, "S2"},
                                                  {ParentKey, "Orrelin"}}));
    EXPECT_EQ(ScriptedDialogs::Shown(), (std::vector<Box>{Confirmation, Success}));
    EXPECT_FALSE(TestRegistry::KeyExists(Settings));
}

TEST_F(RemovalFlow, SettingsKeyWithoutValuesOrSubkeysIsDeletedAlone) {
    TestRegistry::CreateKey(Settings);
    Seeded();
    ScriptedDialogs::Answer({Dialogs::IdOk, Dialogs::IdOk});

    EXPECT_EQ(RunMain(), std::nullopt);

    EXPECT_EQ(Deletions(), (std::vector<Deletion>{{ParentKey, "Orrelin"}}));
    EXPECT_EQ(ScriptedDialogs::Shown(), (std::vector<Box>{Confirmation, Success}));
}

TEST_F(RemovalFlow, AnyAnswerButOkEndsTheRunWithoutTouchingTheRegistry) {
    // Cancel, the box closed with Escape or its close button (also Cancel),
    // and a box that could not be shown at all.
    for (const int answer : {Dialogs::IdCancel, 0}) {
        SCOPED_TRACE(answer);
        SetUp(); // a fresh registry for each case
        SeedExample();
        const std::string before = TestRegistry::Snapshot(Parent);
        Seeded();
        ScriptedDialogs::Answer({answer});

        EXPECT_EQ(RunMain(), ExitStatus::Cancelled);

        EXPECT_TRUE(FakeRegistry::Log().empty());
        EXPECT_EQ(TestRegistry::Snapshot(Parent), before);
        EXPECT_EQ(ScriptedDialogs::Shown(), std::vector<Box>{Confirmation});
    }
}

TEST_F(RemovalFlow, MissingSettingsKeyShowsTheFailureBox) {
    Seeded();
    ScriptedDialogs::Answer({Dialogs::IdOk, Dialogs::IdOk});

    EXPECT_EQ(RunMain(), ExitStatus::RemovalFailed);

    EXPECT_EQ(Deletions(), (std::vector<Deletion>{{ParentKey, "Orrelin"}}));
    EXPECT_EQ(ScriptedDialogs::Shown(), (std::vector<Box>{Confirmation, Failure}));
    EXPECT_TRUE(TestRegistry::KeyExists(Parent));
}

TEST_F(RemovalFlow, FirstFailedDeletionEndsTheRunAndKeepsWhatWentBefore) {
    struct Case {
        Op op;
        std::string name;
        std::vector<Deletion> tried; // up to and including the failing one
        std::vector<std::string> remaining;
    };
    const std::string deep = SettingsKey + "\\S1\\Deep";
    const Case cases[] = {
        {Op::DeleteValue,
         "y",
         {{SettingsKey, "a"}, {SettingsKey, "b"}, {SettingsKey + "\\S1", "x"}, {deep, "y"}},
         {"S1\\Deep", "S2"}},
        {Op::DeleteKey,
         "Deep",
         {{SettingsKey, "a"},
          {SettingsKey, "b"},
          {SettingsKey + "\\S1", "x"},
          {deep, "y"},
          {deep, "z"},
          {SettingsKey + "\\S1", "Deep"}},
         {"S1\\Deep", "S2"}},
        {Op::DeleteKey,
         "S2",
         {{SettingsKey, "a"},
          {SettingsKey, "b"},
          {SettingsKey + "\\S1", "x"},
          {deep, "y"},
          {deep, "z"},
          {SettingsKey + "\\S1", "Deep"},
          {SettingsKey, "S1"},
          {SettingsKey, "S2"}},
         {"S2"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp(); // a fresh registry for each case
        SeedExample();
        TestRegistry::SetString(Under(Settings, "S1\\Deep"), "y", "4");
        TestRegistry::SetString(Under(Settings, "S1\\Deep"), "z", "5");
        Seeded();
        FakeRegistry::FailWhen(
            [&c](const FakeRegistry::Call& call) -> std::optional<RegistryApi::Status> {
                if (call.op == c.op && call.name == c.name) {
                    return 5;
                }
                return std::nullopt;
            });
        ScriptedDialogs::Answer({Dialogs::IdOk, Dialogs::IdOk});

        EXPECT_EQ(RunMain(), ExitStatus::RemovalFailed);

        FakeRegistry::FailWhen(nullptr);
        EXPECT_EQ(Deletions(), c.tried);
        EXPECT_EQ(FakeRegistry::Log().back().op, Op::CloseKey) << "something was tried after";
        EXPECT_EQ(ScriptedDialogs::Shown(), (std::vector<Box>{Confirmation, Failure}));
        EXPECT_FALSE(TestRegistry::ReadValue(Settings, "a"));
        EXPECT_FALSE(TestRegistry::ReadValue(Under(Settings, "S1"), "x"));
        for (const std::string& key : c.remaining) {
            EXPECT_TRUE(TestRegistry::KeyExists(Under(Settings, key))) << key;
        }
    }
}

TEST_F(RemovalFlow, PathsWithEmptyPartsAreRefusedBeforeAnythingIsTouched) {
    // Each would reach the registry as the root or a key other than meant.
    const std::u16string paths[] = {u"", u"\\Software", u"Software\\VB and VBA Program Settings\\",
                                    u"Software\\\\VB and VBA Program Settings"};
    for (const std::u16string& path : paths) {
        ScriptedDialogs::Reset();
        Seeded();
        ScriptedDialogs::Answer({Dialogs::IdOk});

        EXPECT_EQ(RunDeleteKeyTree(path), ExitStatus::RemovalFailed);

        EXPECT_TRUE(FakeRegistry::Log().empty());
        EXPECT_EQ(ScriptedDialogs::Shown(), std::vector<Box>{Failure});
    }
}

// A path of one part names a key right below HKEY_CURRENT_USER, which is then
// the parent it is deleted from.
TEST_F(RemovalFlow, OnePartPathIsDeletedFromTheRoot) {
    const std::string top = "orrelin_regdel top";
    TestRegistry::SetString(top, "v", "1");
    TestRegistry::CreateKey(top + "\\below");
    const std::string software = TestRegistry::Snapshot("Software");
    Seeded();

    EXPECT_EQ(RunDeleteKeyTree(u"orrelin_regdel top"), std::nullopt);

    EXPECT_EQ(Deletions(""), (std::vector<Deletion>{
                                 {"HKCU\\" + top, "v"}, {"HKCU\\" + top, "below"}, {"HKCU", top}}));
    EXPECT_FALSE(TestRegistry::KeyExists(top));
    EXPECT_EQ(TestRegistry::Snapshot("Software"), software);
    EXPECT_TRUE(ScriptedDialogs::Shown().empty());
    TestRegistry::DeleteTree(top);
}

TEST_F(RemovalFlow, ProgramExitStatusForARunThatComesBack) {
    SeedExample();
    Seeded();
    ScriptedDialogs::Answer({Dialogs::IdOk, Dialogs::IdOk});

    EXPECT_EQ(RunProgram(), ExitStatus::Removed);
    EXPECT_EQ(ScriptedDialogs::Shown(), (std::vector<Box>{Confirmation, Success}));
    EXPECT_TRUE(ScriptedDialogs::DebugReports().empty());
}

TEST_F(RemovalFlow, RunTimeErrorReachingTheEntryIsToldInABoxAndToTheDebugger) {
    struct NotAStandardException {};
    struct Case {
        const char* what;
        std::optional<std::size_t> throwingBox; // throws std::runtime_error("no room left")
        bool registryThrows; // something that is no std::exception, deleting the value b
        std::vector<Box> shown;
        std::u16string reason;
        bool settingsKept;
    };
    const Case cases[] = {
        {"in place of the confirmation", 0, false, {UnexpectedError}, u"no room left", true},
        {"in place of the success box, the settings gone",
         1,
         false,
         {Confirmation, UnexpectedError},
         u"no room left",
         false},
        {"from the registry",
         std::nullopt,
         true,
         {Confirmation, UnexpectedError},
         u"unknown exception",
         true},
        {"from the registry, and the error box cannot be shown either",
         1,
         true,
         {Confirmation},
         u"unknown exception",
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp(); // a fresh registry for each case
        SeedExample();
        Seeded();
        ScriptedDialogs::Answer({Dialogs::IdOk, Dialogs::IdOk});
        if (c.throwingBox) {
            ScriptedDialogs::ThrowAtBox(*c.throwingBox, "no room left");
        }
        if (c.registryThrows) {
            FakeRegistry::FailWhen(
                [](const FakeRegistry::Call& call) -> std::optional<RegistryApi::Status> {
                    if (call.op == Op::DeleteValue && call.name == "b") {
                        throw NotAStandardException{};
                    }
                    return std::nullopt;
                });
        }

        EXPECT_EQ(RunProgram(), ExitStatus::RunTimeError);

        FakeRegistry::FailWhen(nullptr);
        EXPECT_EQ(ScriptedDialogs::Shown(), c.shown);
        EXPECT_EQ(ScriptedDialogs::DebugReports(),
                  std::vector<std::u16string>{u"orrelin_regdel: unexpected run-time error: " +
                                              c.reason + u"\n"});
        EXPECT_EQ(TestRegistry::KeyExists(Settings), c.settingsKept);
    }
}
