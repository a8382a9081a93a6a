#pragma once

#include "tests/support/ScriptedProcess.h"
#include "tests/support/TestRegistry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

// Fixture for the removal flow: works on Orrelin's settings key in the test's
// registry (in memory, a throwaway Wine prefix, or a user's own on Windows)
// and on neighbours of the test's own making, and touches nothing else. A
// settings key that is there already stops the test untouched. The folder of
// all programs' settings is deleted afterwards only if the test made it and
// left it empty; whatever else it holds must be as it was. The test fails too
// if it left a registry key open.
class SettingsTest : public ::testing::Test {
protected:
    static constexpr char Parent[] = "Software\\VB and VBA Program Settings";
    static constexpr char Settings[] = "Software\\VB and VBA Program Settings\\Orrelin";
    static constexpr char16_t SettingsText[] = u"Software\\VB and VBA Program Settings\\Orrelin";

    // The neighbours stand for other programs' settings under names that no
    // program uses; one starts as Orrelin's does.
    static constexpr char OtherProgram[] = "orrelin_regdel test OtherProgram";
    static constexpr char OrrelinPrefixed[] = "Orrelin2 (orrelin_regdel test)";
    static constexpr char16_t JapaneseProgram[] = u"別のプログラム (orrelin_regdel test)";
    static constexpr char ParentValue[] = "orrelin_regdel test value";

    void SetUp() override {
        keysBefore_ = TestRegistry::OpenKeys();
        ScriptedProcess::Reset();
        parentExisted_ = TestRegistry::KeyExists(Parent);
        if (TestRegistry::KeyExists(Settings) || TestRegistry::IsLink(Settings)) {
            GTEST_FAIL() << "HKEY_CURRENT_USER\\" << Settings
                         << " is there already. These tests delete that key, so they have left "
                            "it alone and stopped. To keep it, set it aside first:\n"
                            "  reg export \"HKCU\\"
                         << Settings << "\" orrelin.reg\n  reg delete \"HKCU\\" << Settings
                         << "\" /f\nand afterwards put it back with: reg import orrelin.reg";
        }
        owned_ = true;
        // Left by a run that was cut short, if there at all.
        RemoveNeighbours();
        others_ = Others();
    }

    void TearDown() override {
        EXPECT_EQ(TestRegistry::OpenKeys(), keysBefore_) << "a registry key was left open";
        if (!owned_) {
            return;
        }
        TestRegistry::DeleteTree(Settings);
        RemoveNeighbours();
        EXPECT_EQ(Others(), others_) << "a key the test did not make changed";
        if (!parentExisted_) {
            DeleteParentIfEmpty();
        }
        EXPECT_EQ(TestRegistry::KeyExists(Parent), parentExisted_)
            << "the folder " << Parent << " was not left as found";
    }

    // Another program's settings, one with a Japanese name, one whose name
    // only starts with Orrelin, and a value on the shared folder itself.
    static void SeedNeighbours() {
        TestRegistry::SetString(Parent, ParentValue, "stays");
        TestRegistry::SetString(Under(Parent, std::string(OtherProgram) + "\\Window"), "Left",
                                "10");
        TestRegistry::SetString(Under(Parent, TestRegistry::Ansi(JapaneseProgram)),
                                TestRegistry::Ansi(u"名前"), TestRegistry::Ansi(u"残る"));
        TestRegistry::CreateKey(Under(Parent, OrrelinPrefixed));
    }

    // The folder without the settings key: what a removal must leave as it
    // was.
    static std::string BesideSettings() { return Listing({"Orrelin"}, {}); }

    static std::string Under(const std::string& key, const std::string& below) {
        return key + "\\" + below;
    }

    // For a folder the test made: once it holds nothing, it goes.
    static void DeleteParentIfEmpty() {
        if (TestRegistry::ValueNames(Parent).empty() && TestRegistry::SubkeyNames(Parent).empty()) {
            TestRegistry::DeleteTree(Parent);
        }
    }

private:
    static std::vector<std::string> NeighbourNames() {
        return {OtherProgram, OrrelinPrefixed, TestRegistry::Ansi(JapaneseProgram)};
    }

    static void RemoveNeighbours() {
        for (const std::string& name : NeighbourNames()) {
            TestRegistry::DeleteTree(Under(Parent, name));
        }
        TestRegistry::DeleteValue(Parent, ParentValue);
    }

    // The folder with the keys and the value named left out.
    static std::string Listing(const std::vector<std::string>& keys,
                               const std::vector<std::string>& values) {
        TestRegistry::Tree parent = TestRegistry::Read(TestRegistry::CurrentUser(), Parent);
        const auto named = [](const std::vector<std::string>& names, const std::string& name) {
            return std::find(names.begin(), names.end(), name) != names.end();
        };
        std::erase_if(parent.subkeys, [&](const auto& key) { return named(keys, key.name); });
        std::erase_if(parent.values, [&](const auto& value) { return named(values, value.name); });
        return TestRegistry::Listing(parent, Parent);
    }

    // What the test did not make: all but the settings key and the
    // neighbours.
    static std::string Others() {
        std::vector<std::string> keys = NeighbourNames();
        keys.push_back("Orrelin");
        return Listing(keys, {ParentValue});
    }

    int keysBefore_ = 0;
    bool parentExisted_ = false;
    bool owned_ = false;
    std::string others_;
};
