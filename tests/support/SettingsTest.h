#pragma once

#include "tests/support/ScriptedDialogs.h"
#include "tests/support/TestRegistry.h"

#include <gtest/gtest.h>

#include <string>

// Fixture for the removal flow: works on the settings key of the test's own
// registry (in memory, or a throwaway Wine prefix), with the folder of all
// programs' settings cleared before and after each test, and fails if a
// registry handle was left open.
class SettingsTest : public ::testing::Test {
protected:
    static constexpr char Parent[] = "Software\\VB and VBA Program Settings";
    static constexpr char Settings[] = "Software\\VB and VBA Program Settings\\Orrelin";
    static constexpr char16_t SettingsText[] = u"Software\\VB and VBA Program Settings\\Orrelin";

    void SetUp() override {
        TestRegistry::DeleteTree(Parent);
        ScriptedDialogs::Reset();
        handlesBefore_ = TestRegistry::OpenHandles();
    }

    void TearDown() override {
        EXPECT_EQ(TestRegistry::OpenHandles(), handlesBefore_) << "a registry handle was left open";
        TestRegistry::DeleteTree(Parent);
    }

    static std::string Under(const std::string& key, const std::string& below) {
        return key + "\\" + below;
    }

private:
    int handlesBefore_ = 0;
};
