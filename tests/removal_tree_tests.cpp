// The recursive deletion against a registry holding real-looking settings.
// Runs against the host stand-in and against Wine's registry.
#include "removal/Module1.h"
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
