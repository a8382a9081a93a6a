#pragma once

#include "registry/cRegistory.h"
#include "tests/support/TestRegistry.h"

#include <gtest/gtest.h>

#include <string>

// Base fixture: each test starts from an empty key of its own below
// HKEY_CURRENT_USER, removes it afterwards, and fails if a registry handle
// was left open.
class RegistryTest : public ::testing::Test {
protected:
    // Code-page form of the test's key, and its UTF-16 form for the accessor.
    static constexpr char Base[] = "Software\\orrelin_regdel tests";
    static constexpr char16_t BaseText[] = u"Software\\orrelin_regdel tests";

    void SetUp() override {
        TestRegistry::DeleteTree(Base);
        TestRegistry::CreateKey(Base);
        handlesBefore_ = TestRegistry::OpenHandles();
    }

    void TearDown() override {
        EXPECT_EQ(TestRegistry::OpenHandles(), handlesBefore_) << "a registry handle was left open";
        TestRegistry::DeleteTree(Base);
    }

    static std::string Path(const std::string& below) { return std::string(Base) + "\\" + below; }
    static std::u16string PathText(const std::u16string& below) {
        return std::u16string(BaseText) + u"\\" + below;
    }

    cRegistory reg;

private:
    int handlesBefore_ = 0;
};
