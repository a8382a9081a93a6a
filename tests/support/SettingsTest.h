#pragma once

#include "tests/support/RegistryTest.h"
#include "tests/support/ScriptedProcess.h"

#include <string>

// Fixture for the removal flow: works on the settings key of the test's own
// registry (in memory, or a throwaway Wine prefix), with the folder of all
// programs' settings cleared before and after each test, and fails if a
// registry key was left open.
class SettingsTest : public OwnKeyTest {
protected:
    static constexpr char Parent[] = "Software\\VB and VBA Program Settings";
    static constexpr char Settings[] = "Software\\VB and VBA Program Settings\\Orrelin";
    static constexpr char16_t SettingsText[] = u"Software\\VB and VBA Program Settings\\Orrelin";

    SettingsTest() : OwnKeyTest(Parent) {}

    void SetUp() override {
        OwnKeyTest::SetUp();
        ScriptedProcess::Reset();
    }

    static std::string Under(const std::string& key, const std::string& below) {
        return key + "\\" + below;
    }
};
