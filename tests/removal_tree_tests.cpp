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

class SettingsTree : public SettingsTest {
protected:
    // Another program's settings and a value on the shared parent: none of
    // it may change.
    void SeedNeighbours() {
        TestRegistry::SetString(Parent, "SharedValue", "stays");
        TestRegistry::SetString(Under(Parent, "OtherProgram\\Window"), "Left", "10");
        TestRegistry::SetString(Under(Parent, Ansi(u"別のプログラム")), Ansi(u"名前"),
                                Ansi(u"残る"));
        // Shares the settings key's name as a prefix only.
        TestRegistry::CreateKey(Under(Parent, "Orrelin2"));
    }
};

TEST_F(SettingsTree, RemovesTheWholeTreeAndNothingBesideIt) {
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

TEST_F(SettingsTree, EmptyParentIsLeftInPlace) {
    TestRegistry::CreateKey(Settings);

    Module1::DeleteKeyTree(SettingsText);

    EXPECT_FALSE(TestRegistry::KeyExists(Settings));
    EXPECT_TRUE(TestRegistry::KeyExists(Parent));
    EXPECT_TRUE(TestRegistry::SubkeyNames(Parent).empty());
}

// A link in the tree, the settings key itself included, is deleted as a
// link: the key it points to, another program's, is left exactly as it was.
TEST_F(SettingsTree, LinksAreDeletedWithoutTouchingWhatTheyPointTo) {
    SeedNeighbours();
    const std::string other = Under(Parent, "OtherProgram");
    for (const bool settingsIsLink : {false, true}) {
        SCOPED_TRACE(settingsIsLink ? "the settings key a link" : "links inside the tree");
        if (settingsIsLink) {
            TestRegistry::CreateLink(Settings, other);
        } else {
            TestRegistry::SetString(Settings, "v", "1");
            TestRegistry::CreateLink(Under(Settings, "link"), other);
            TestRegistry::CreateLink(Under(Settings, "S1\\deeper link"), other);
            TestRegistry::CreateLink(Under(Settings, "dangling"), Under(Parent, "nowhere"));
        }
        const std::string before = TestRegistry::Snapshot(other);

        Module1::DeleteKeyTree(SettingsText);

        EXPECT_FALSE(TestRegistry::KeyExists(Settings));
        EXPECT_FALSE(TestRegistry::IsLink(Settings));
        EXPECT_EQ(TestRegistry::Snapshot(other), before);
        EXPECT_TRUE(ScriptedProcess::Shown().empty());
    }
}
