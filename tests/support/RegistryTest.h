#pragma once

#include "registry/cRegistory.h"
#include "tests/support/TestRegistry.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <utility>

// Failures name the answer rather than its bytes.
inline void PrintTo(LinkTest answer, std::ostream* out) {
    constexpr const char* names[] = {"NotALink", "Link", "CannotTell"};
    *out << names[static_cast<int>(answer)];
}

// What the accessor's tests share: the key they work in, below
// HKEY_CURRENT_USER and theirs alone, is removed before and after each test,
// and the test fails if it left a registry key open.
class OwnKeyTest : public ::testing::Test {
protected:
    explicit OwnKeyTest(std::string ownKey) : ownKey_(std::move(ownKey)) {}

    void SetUp() override {
        TestRegistry::DeleteTree(ownKey_);
        keysBefore_ = TestRegistry::OpenKeys();
    }

    void TearDown() override {
        EXPECT_EQ(TestRegistry::OpenKeys(), keysBefore_) << "a registry key was left open";
        TestRegistry::DeleteTree(ownKey_);
    }

private:
    std::string ownKey_;
    int keysBefore_ = 0;
};

// Base fixture of the accessor's cases: each test starts from an empty key of
// its own.
class RegistryTest : public OwnKeyTest {
protected:
    // Code-page form of the test's key, and its UTF-16 form for the accessor.
    static constexpr char Base[] = "Software\\orrelin_regdel tests";
    static constexpr char16_t BaseText[] = u"Software\\orrelin_regdel tests";

    RegistryTest() : OwnKeyTest(Base) {}

    void SetUp() override {
        OwnKeyTest::SetUp();
        TestRegistry::CreateKey(Base);
    }

    static std::string Path(const std::string& below) { return std::string(Base) + "\\" + below; }
    static std::u16string PathText(const std::u16string& below) {
        return std::u16string(BaseText) + u"\\" + below;
    }

    cRegistory reg;
};
