// The whole run as a user sees it: the boxes, the deletions in the order the
// registry receives them, and how a run ends. Host only: it answers boxes
// from a script and injects failures into the in-memory registry.
#include "platform/Process.h"
#include "removal/ExitStatus.h"
#include "removal/Program.h"
#include "tests/support/FakeRegistry.h"
#include "tests/support/RemovalRun.h"
#include "tests/support/SettingsTest.h"

#include <optional>
#include <ostream>
#include <vector>

using FakeRegistry::Deletion;
using FakeRegistry::Op;
using ScriptedProcess::Box;
using namespace RemovalRun;

namespace {

Deletion Value(const std::string& in, const std::string& name) {
    return {Op::DeleteValue, in, name};
}
// A key goes through a handle of its own, a link as the link.
Deletion Subkey(const std::string& in, const std::string& name) {
    return {Op::DeleteOpenKey, in, name};
}
Deletion Link(const std::string& in, const std::string& name) {
    return Subkey(in, name);
}

} // namespace

class RemovalFlow : public SettingsTest {
protected:
    void SetUp() override {
        SettingsTest::SetUp();
        SeedNeighbours();
        beside_ = BesideSettings();
    }
    void TearDown() override {
        FakeRegistry::FailWhen(nullptr);
        EXPECT_EQ(BesideSettings(), beside_) << "a key beside the settings key changed";
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

    static inline const std::string S1 = Under(Settings, "S1");

private:
    std::string beside_;
};

TEST_F(RemovalFlow, DeletesValuesFirstThenSubkeysDepthFirstThenTheKey) {
    SeedExample();
    Seeded();
    ScriptedProcess::Answer({Process::IdOk, Process::IdOk});

    EXPECT_EQ(RunMain(), std::nullopt);

    EXPECT_EQ(FakeRegistry::Deletions(),
              (std::vector<Deletion>{Value(Settings, "a"), Value(Settings, "b"), Value(S1, "x"),
                                     Subkey(Settings, "S1"), Subkey(Settings, "S2"),
                                     Subkey(Parent, "Orrelin")}));
    EXPECT_EQ(ScriptedProcess::Shown(), (std::vector<Box>{Confirmation, Success}));
    EXPECT_FALSE(TestRegistry::KeyExists(Settings));
}

TEST_F(RemovalFlow, SettingsKeyWithoutValuesOrSubkeysIsDeletedAlone) {
    TestRegistry::CreateKey(Settings);
    Seeded();
    ScriptedProcess::Answer({Process::IdOk, Process::IdOk});

    EXPECT_EQ(RunMain(), std::nullopt);

    EXPECT_EQ(FakeRegistry::Deletions(), (std::vector<Deletion>{Subkey(Parent, "Orrelin")}));
    EXPECT_EQ(ScriptedProcess::Shown(), (std::vector<Box>{Confirmation, Success}));
}

// A link goes where its name is listed, as itself and without being listed;
// the other program's key it points to is checked unchanged at teardown.
TEST_F(RemovalFlow, LinksAreDeletedInTheirPlaceAndNeverListed) {
    const std::string other = Under(Parent, OtherProgram);
    SeedExample();
    TestRegistry::CreateLink(Under(Settings, "L"), other);
    Seeded();
    ScriptedProcess::Answer({Process::IdOk, Process::IdOk});

    EXPECT_EQ(RunMain(), std::nullopt);

    EXPECT_EQ(FakeRegistry::Deletions(),
              (std::vector<Deletion>{Value(Settings, "a"), Value(Settings, "b"),
                                     Link(Settings, "L"), Value(S1, "x"), Subkey(Settings, "S1"),
                                     Subkey(Settings, "S2"), Subkey(Parent, "Orrelin")}));
    for (const auto& call : FakeRegistry::Log()) {
        EXPECT_FALSE(call.key.starts_with("HKCU\\" + other)) << "reached through the link";
    }
    EXPECT_EQ(ScriptedProcess::Shown(), (std::vector<Box>{Confirmation, Success}));

    TestRegistry::CreateLink(Settings, other);
    Seeded();
    ScriptedProcess::Reset();
    ScriptedProcess::Answer({Process::IdOk, Process::IdOk});

    EXPECT_EQ(RunMain(), std::nullopt);

    EXPECT_EQ(FakeRegistry::Deletions(), std::vector<Deletion>{Link(Parent, "Orrelin")});
    EXPECT_EQ(ScriptedProcess::Shown(), (std::vector<Box>{Confirmation, Success}));
}

// Another program puts a link to its own key in the place of a key of the
// tree, the settings key or S1, between two of the run's registry calls, at
// each call in turn. Its key stays as it was, and success is told only once
// the settings key is gone.
TEST_F(RemovalFlow, KeySwappedForALinkBetweenAnyTwoCallsLeadsNowhereElse) {
    const std::string other = Under(Parent, OtherProgram);
    SeedExample();
    Seeded();
    ScriptedProcess::Answer({Process::IdOk, Process::IdOk});
    ASSERT_EQ(RunMain(), std::nullopt);
    const std::size_t calls = FakeRegistry::Log().size();
    const std::string otherBefore = TestRegistry::Snapshot(other);

    for (const std::string& swapped : {std::string(Settings), S1}) {
        for (std::size_t call = 0; call < calls; ++call) {
            SCOPED_TRACE(swapped + " swapped before call " + std::to_string(call));
            TestRegistry::DeleteTree(Settings);
            SeedExample();
            ScriptedProcess::Reset();
            ScriptedProcess::Answer({Process::IdOk, Process::IdOk});
            FakeRegistry::MeddleBeforeEachCall([&, seen = std::size_t{0}](const auto&) mutable {
                if (seen++ == call) {
                    FakeRegistry::ReplaceWithLink(swapped, other);
                }
            });

            const auto status = RunMain();

            FakeRegistry::MeddleBeforeEachCall(nullptr);
            EXPECT_EQ(TestRegistry::Snapshot(other), otherBefore);
            if (status) {
                EXPECT_EQ(status, ExitStatus::RemovalFailed);
                EXPECT_EQ(ScriptedProcess::Shown(), (std::vector<Box>{Confirmation, Failure}));
            } else {
                EXPECT_EQ(ScriptedProcess::Shown(), (std::vector<Box>{Confirmation, Success}));
                EXPECT_FALSE(TestRegistry::KeyExists(Settings) || TestRegistry::IsLink(Settings));
            }
        }
    }
}

// Cancel, the box closed with Escape or its close button (also Cancel), and a
// box that could not be shown at all.
class AnswerButOk : public RemovalFlow, public ::testing::WithParamInterface<int> {};

TEST_P(AnswerButOk, EndsTheRunWithoutTouchingTheRegistry) {
    SeedExample();
    const std::string before = TestRegistry::Snapshot(Parent);
    Seeded();
    ScriptedProcess::Answer({GetParam()});

    EXPECT_EQ(RunMain(), ExitStatus::Cancelled);

    EXPECT_TRUE(FakeRegistry::Log().empty());
    EXPECT_EQ(TestRegistry::Snapshot(Parent), before);
    EXPECT_EQ(ScriptedProcess::Shown(), std::vector<Box>{Confirmation});
}

INSTANTIATE_TEST_SUITE_P(RemovalFlow, AnswerButOk, ::testing::Values(IdCancel, 0));

TEST_F(RemovalFlow, MissingSettingsKeyShowsTheFailureBox) {
    Seeded();
    ScriptedProcess::Answer({Process::IdOk, Process::IdOk});

    EXPECT_EQ(RunMain(), ExitStatus::RemovalFailed);

    EXPECT_TRUE(FakeRegistry::Deletions().empty()) << "there was nothing to delete";
    EXPECT_EQ(ScriptedProcess::Shown(), (std::vector<Box>{Confirmation, Failure}));
    EXPECT_TRUE(TestRegistry::KeyExists(Parent));
}

// The example tree with S1\Deep holding y and z; one deletion fails.
struct FailedDeletion {
    Op op;
    const char* name;
    std::size_t tried; // deletions of the order up to and including the failing one
    std::vector<std::string> remaining;
};

void PrintTo(const FailedDeletion& c, std::ostream* out) {
    *out << c.name;
}

class FirstFailedDeletion : public RemovalFlow,
                            public ::testing::WithParamInterface<FailedDeletion> {};

TEST_P(FirstFailedDeletion, EndsTheRunAndKeepsWhatWentBefore) {
    const FailedDeletion& c = GetParam();
    const std::string deep = Under(S1, "Deep");
    const std::vector<Deletion> order{
        Value(Settings, "a"),   Value(Settings, "b"),   Value(S1, "x"),
        Value(deep, "y"),       Value(deep, "z"),       Subkey(S1, "Deep"),
        Subkey(Settings, "S1"), Subkey(Settings, "S2"), Subkey(Parent, "Orrelin")};
    SeedExample();
    TestRegistry::SetString(deep, "y", "4");
    TestRegistry::SetString(deep, "z", "5");
    Seeded();
    FakeRegistry::FailWhen(
        [&c](const FakeRegistry::Call& call) -> std::optional<RegistryApi::Status> {
            if (call.op == c.op && call.name == c.name) {
                return 5;
            }
            return std::nullopt;
        });
    ScriptedProcess::Answer({Process::IdOk, Process::IdOk});

    EXPECT_EQ(RunMain(), ExitStatus::RemovalFailed);

    FakeRegistry::FailWhen(nullptr);
    EXPECT_EQ(
        FakeRegistry::Deletions(),
        std::vector<Deletion>(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(c.tried)));
    EXPECT_EQ(ScriptedProcess::Shown(), (std::vector<Box>{Confirmation, Failure}));
    EXPECT_FALSE(TestRegistry::ReadValue(Settings, "a"));
    EXPECT_FALSE(TestRegistry::ReadValue(S1, "x"));
    for (const std::string& key : c.remaining) {
        EXPECT_TRUE(TestRegistry::KeyExists(Under(Settings, key))) << key;
    }
}

INSTANTIATE_TEST_SUITE_P(
    RemovalFlow, FirstFailedDeletion,
    ::testing::Values(FailedDeletion{Op::DeleteValue, "y", 4, {"S1\\Deep", "S2"}},
                      FailedDeletion{Op::DeleteOpenKey, "Deep", 6, {"S1\\Deep", "S2"}},
                      FailedDeletion{Op::DeleteOpenKey, "S2", 8, {"S2"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RemovalFlow, PathsWithEmptyPartsAreRefusedBeforeAnythingIsTouched) {
    // Each would reach the registry as the root or a key other than meant.
    const std::u16string paths[] = {u"", u"\\Software", u"Software\\VB and VBA Program Settings\\",
                                    u"Software\\\\VB and VBA Program Settings"};
    for (const std::u16string& path : paths) {
        ScriptedProcess::Reset();
        Seeded();
        ScriptedProcess::Answer({Process::IdOk});

        EXPECT_EQ(RunDeleteKeyTree(path), ExitStatus::RemovalFailed);

        EXPECT_TRUE(FakeRegistry::Log().empty());
        EXPECT_EQ(ScriptedProcess::Shown(), std::vector<Box>{Failure});
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

    EXPECT_EQ(FakeRegistry::Deletions(),
              (std::vector<Deletion>{Value(top, "v"), Subkey(top, "below"), Subkey("", top)}));
    EXPECT_FALSE(TestRegistry::KeyExists(top));
    EXPECT_EQ(TestRegistry::Snapshot("Software"), software);
    EXPECT_TRUE(ScriptedProcess::Shown().empty());
    TestRegistry::DeleteTree(top);
}

TEST_F(RemovalFlow, ProgramExitStatusForARunThatComesBack) {
    SeedExample();
    Seeded();
    ScriptedProcess::Answer({Process::IdOk, Process::IdOk});

    EXPECT_EQ(RunProgram(), ExitStatus::Removed);
    EXPECT_EQ(ScriptedProcess::Shown(), (std::vector<Box>{Confirmation, Success}));
    EXPECT_TRUE(ScriptedProcess::DebugReports().empty());
}

// An exception reaching the entry, from a box or from the registry.
struct RunTimeError {
    const char* what;
    std::optional<std::size_t> throwingBox; // throws std::runtime_error("no room left")
    bool registryThrows; // something that is no std::exception, deleting the value b
    std::vector<Box> shown;
    std::u16string reason;
    bool settingsKept;
};

void PrintTo(const RunTimeError& c, std::ostream* out) {
    *out << c.what;
}

class RunTimeErrorAtTheEntry : public RemovalFlow,
                               public ::testing::WithParamInterface<RunTimeError> {};

TEST_P(RunTimeErrorAtTheEntry, IsToldInABoxAndToTheDebugger) {
    struct NotAStandardException {};
    const RunTimeError& c = GetParam();
    SeedExample();
    Seeded();
    ScriptedProcess::Answer({Process::IdOk, Process::IdOk});
    if (c.throwingBox) {
        ScriptedProcess::ThrowAtBox(*c.throwingBox, "no room left");
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
    EXPECT_EQ(ScriptedProcess::Shown(), c.shown);
    EXPECT_EQ(ScriptedProcess::DebugReports(),
              std::vector<std::u16string>{u"orrelin_regdel: unexpected run-time error: " +
                                          c.reason + u"\n"});
    EXPECT_EQ(TestRegistry::KeyExists(Settings), c.settingsKept);
}

INSTANTIATE_TEST_SUITE_P(
    RemovalFlow, RunTimeErrorAtTheEntry,
    ::testing::Values(
        RunTimeError{
            "InPlaceOfTheConfirmation", 0, false, {UnexpectedError}, u"no room left", true},
        RunTimeError{"InPlaceOfTheSuccessBoxTheSettingsGone",
                     1,
                     false,
                     {Confirmation, UnexpectedError},
                     u"no room left",
                     false},
        RunTimeError{"FromTheRegistry",
                     std::nullopt,
                     true,
                     {Confirmation, UnexpectedError},
                     u"unknown exception",
                     true},
        RunTimeError{"FromTheRegistryAndTheErrorBoxCannotBeShownEither",
                     1,
                     true,
                     {Confirmation},
                     u"unknown exception",
                     true}),
    [](const auto& info) { return std::string(info.param.what); });
