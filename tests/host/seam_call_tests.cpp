// What only the in-memory registry can show: calls that must never reach the
// platform, and how the accessor reacts to failures injected into them.
#include "tests/support/FakeRegistry.h"
#include "tests/support/RegistryTest.h"

using FakeRegistry::Op;

class SeamCalls : public RegistryTest {
protected:
    void SetUp() override {
        RegistryTest::SetUp();
        FakeRegistry::ClearLog();
    }
    void TearDown() override {
        FakeRegistry::FailWhen(nullptr);
        RegistryTest::TearDown();
    }
};

TEST_F(SeamCalls, RefusedNamesNeverReachThePlatform) {
    reg.SubKey(BaseText);
    EXPECT_FALSE(reg.DeleteValueName(std::u16string(u"a\0b", 3)));
    EXPECT_FALSE(reg.DeleteSubKey(u"é"));
    EXPECT_TRUE(FakeRegistry::Log().empty());
}

TEST_F(SeamCalls, FailedOpenEndsTheOperationWithNothingToClose) {
    TestRegistry::SetString(Base, "v", "1");
    FakeRegistry::ClearLog();
    FakeRegistry::FailWhen(
        [](const FakeRegistry::Call& call) -> std::optional<RegistryApi::Status> {
            if (call.op == Op::OpenKey) {
                return 5;
            }
            return std::nullopt;
        });
    reg.SubKey(BaseText);
    std::vector<std::u16string> names{u"kept"};
    EXPECT_EQ(reg.EnumValueName(names), 0);
    EXPECT_EQ(names, std::vector<std::u16string>{u"kept"});
    EXPECT_FALSE(reg.DeleteValueName(u"v"));
    for (const auto& call : FakeRegistry::Log()) {
        EXPECT_NE(call.op, Op::CloseKey) << "closed a key it never opened";
    }
    FakeRegistry::FailWhen(nullptr);
    EXPECT_TRUE(TestRegistry::ReadValue(Base, "v").has_value());
}

TEST_F(SeamCalls, ListingStopsAtAFailureOtherThanMoreData) {
    for (const char* name : {"a", "b", "c"}) {
        TestRegistry::CreateKey(Path(name));
    }
    FakeRegistry::FailWhen(
        [](const FakeRegistry::Call& call) -> std::optional<RegistryApi::Status> {
            if (call.op == Op::EnumKey && call.index == 1) {
                return 5;
            }
            return std::nullopt;
        });
    reg.SubKey(BaseText);
    std::vector<std::u16string> names;
    EXPECT_EQ(reg.EnumSubKey(names), 1);
    EXPECT_EQ(names, std::vector<std::u16string>{u"a"});
}

TEST_F(SeamCalls, PredefinedRootIsNeverClosed) {
    reg.SubKey(u"");
    std::vector<std::u16string> names;
    reg.EnumSubKey(names);
    for (const auto& call : FakeRegistry::Log()) {
        EXPECT_NE(call.op, Op::CloseKey);
    }
}
