// The recursive deletion against a registry holding real-looking settings.
// Runs against the host stand-in and against Wine's registry.
#include "platform/Process.h"
#include "removal/ExitStatus.h"
#include "removal/Module1.h"
#include "tests/support/RemovalRun.h"
#include "tests/support/SettingsTest.h"

#include <cstdio>

using TestRegistry::Ansi;

namespace {

std::vector<std::uint8_t> Dword(std::uint32_t number) {
    return {static_cast<std::uint8_t>(number), static_cast<std::uint8_t>(number >> 8),
            static_cast<std::uint8_t>(number >> 16), static_cast<std::uint8_t>(number >> 24)};
}

std::string Numbered(const char* prefix, int number) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%s%04d", prefix, number);
    return buffer;
}

} // namespace

class SettingsTree : public SettingsTest {};

// A key beside Orrelin's that no case makes, there from before the first
// case to after the last: a fixture that deleted more than its own keys
// would fail here, and not on someone's machine.
class SettingsTreeBesideOthers : public SettingsTest {
protected:
    static constexpr char Foreign[] =
        "Software\\VB and VBA Program Settings\\orrelin_regdel test foreign";

    static void SetUpTestSuite() {
        parentMade_ = !TestRegistry::KeyExists(Parent);
        TestRegistry::DeleteTree(Foreign);
        TestRegistry::SetString(Under(Foreign, "Window"), "Top", "20");
        foreign_ = TestRegistry::Snapshot(Foreign);
    }

    static void TearDownTestSuite() {
        EXPECT_EQ(TestRegistry::Snapshot(Foreign), foreign_) << "a key no case made changed";
        TestRegistry::DeleteTree(Foreign);
        if (parentMade_) {
            DeleteParentIfEmpty();
        }
    }

private:
    static inline bool parentMade_ = false;
    static inline std::string foreign_;
};

TEST_F(SettingsTreeBesideOthers, RemovesTheWholeTreeAndNothingBesideIt) {
    SeedNeighbours();
    const std::string neighboursBefore = TestRegistry::Snapshot(Parent);

    TestRegistry::SetString(Settings, "", "unnamed");
    TestRegistry::SetString(Settings, Ansi(u"表示名"), Ansi(u"値"));
    const std::string longKey = Under(Settings, Ansi(std::u16string(100, u'長')));
    TestRegistry::SetString(longKey, "inside", "x");
    std::string level = Settings;
    for (int depth = 1; depth <= 10; ++depth) {
        level = Under(level, Ansi(u"階層") + std::to_string(depth));
        TestRegistry::SetString(level, "depth", std::to_string(depth));
    }
    const std::string many = Under(Settings, "Many");
    for (int index = 0; index < 1000; ++index) {
        TestRegistry::SetValue(many, Numbered("v", index), RegistryApi::TypeDword, Dword(index));
    }
    ASSERT_EQ(TestRegistry::ValueNames(many).size(), 1000u);
    ASSERT_EQ(TestRegistry::SubkeyNames(Settings).size(), 3u);

    Module1::DeleteKeyTree(SettingsText);

    EXPECT_FALSE(TestRegistry::KeyExists(Settings));
    EXPECT_EQ(TestRegistry::Snapshot(Parent), neighboursBefore);
    EXPECT_TRUE(ScriptedProcess::Shown().empty());
}

TEST_F(SettingsTree, NamesLongerThanTheFirstListingBufferAreDeleted) {
    // 80 bytes is where the first listing call runs out of room.
    const std::string names[] = {std::string(80, 'k'), std::string(200, 'k'),
                                 Ansi(std::u16string(41, u'設'))};
    for (const std::string& name : names) {
        TestRegistry::SetString(Settings, name, "v");
        TestRegistry::SetString(Under(Settings, name), name, "v");
    }

    Module1::DeleteKeyTree(SettingsText);

    EXPECT_FALSE(TestRegistry::KeyExists(Settings));
    EXPECT_TRUE(TestRegistry::KeyExists(Parent));
    EXPECT_TRUE(ScriptedProcess::Shown().empty());
}

// The folder stays, also where the settings key was all it held.
TEST_F(SettingsTree, EmptyParentIsLeftInPlace) {
    const std::string before = TestRegistry::Snapshot(Parent);
    TestRegistry::CreateKey(Settings);

    Module1::DeleteKeyTree(SettingsText);

    EXPECT_FALSE(TestRegistry::KeyExists(Settings));
    EXPECT_TRUE(TestRegistry::KeyExists(Parent));
    EXPECT_EQ(TestRegistry::Snapshot(Parent), before);
}

// A link in the tree, the settings key itself included, is deleted as a
// link: the key it points to, another program's, is left exactly as it was,
// and so is everything else beside the settings key.
TEST_F(SettingsTreeBesideOthers, LinksAreDeletedWithoutTouchingWhatTheyPointTo) {
    SeedNeighbours();
    const std::string other = Under(Parent, OtherProgram);
    for (const bool settingsIsLink : {false, true}) {
        SCOPED_TRACE(settingsIsLink ? "the settings key a link" : "links inside the tree");
        if (settingsIsLink) {
            TestRegistry::CreateLink(Settings, other);
        } else {
            TestRegistry::SetString(Settings, "v", "1");
            TestRegistry::CreateLink(Under(Settings, "link"), other);
            TestRegistry::CreateLink(Under(Settings, "S1\\deeper link"), other);
            TestRegistry::CreateLink(Under(Settings, "dangling"),
                                     Under(Parent, "orrelin_regdel test nowhere"));
        }
        const std::string before = BesideSettings();

        Module1::DeleteKeyTree(SettingsText);

        EXPECT_FALSE(TestRegistry::KeyExists(Settings));
        EXPECT_FALSE(TestRegistry::IsLink(Settings));
        EXPECT_EQ(BesideSettings(), before);
        EXPECT_TRUE(ScriptedProcess::Shown().empty());
    }
}

// In code page 932 a key named "·¥y" is listed as "・\y", a path through
// the key "・" beside it. No key's name holds a separator, so the run stops
// there, before anything in "・" is touched.
TEST_F(SettingsTree, AListedNameHoldingASeparatorStopsTheRun) {
    TestRegistry::CreateKeyNamed(Settings, u"·¥y");
    TestRegistry::SetString(Under(Settings, Ansi(u"・") + "\\y"), "v", "1");
    const std::string before = TestRegistry::Snapshot(Settings);
    ScriptedProcess::Answer({Process::IdOk});

    const auto status = RemovalRun::RunDeleteKeyTree(SettingsText);

    if (TestRegistry::AnsiCodePageIsUtf8()) {
        EXPECT_EQ(status, std::nullopt) << "the name is listed as it is";
        return;
    }
    EXPECT_EQ(status, ExitStatus::RemovalFailed);
    EXPECT_EQ(ScriptedProcess::Shown(), std::vector<ScriptedProcess::Box>{RemovalRun::Failure});
    EXPECT_EQ(TestRegistry::Snapshot(Settings), before);
    TestRegistry::DeleteKeyNamed(Settings, u"·¥y");
}

// Wine opens a key that holds a subkey named Wow6432Node, for a 32-bit
// program, as that subkey. The run must not take the one for the other:
// where the test's own listing shows the redirection, it stops with the
// failure box and the settings key's values stay.
TEST_F(SettingsTree, AWow6432NodeSubkeyDoesNotMoveTheRun) {
    TestRegistry::SetString(Settings, "a", "1");
    TestRegistry::SetString(Under(Settings, "Wow6432Node"), "w", "2");
    const bool redirected = TestRegistry::ValueNames(Settings) != std::vector<std::string>{"a"};
    ScriptedProcess::Answer({Process::IdOk});

    const auto status = RemovalRun::RunDeleteKeyTree(SettingsText);

    if (!redirected) {
        EXPECT_EQ(status, std::nullopt);
        EXPECT_FALSE(TestRegistry::KeyExists(Settings));
        return;
    }
    EXPECT_EQ(status, ExitStatus::RemovalFailed);
    EXPECT_EQ(ScriptedProcess::Shown(), std::vector<ScriptedProcess::Box>{RemovalRun::Failure});
    // Deleting the settings key as the redirection has it takes the
    // Wow6432Node subkey alone; then the key itself shows again.
    TestRegistry::DeleteTree(Settings);
    EXPECT_EQ(TestRegistry::ValueNames(Settings), std::vector<std::string>{"a"});
}
