// What only the in-memory registry can show: the exact calls the accessor
// makes, and how it reacts to failures injected into them.
#include "tests/support/FakeRegistry.h"
#include "tests/support/RegistryTest.h"

#include <map>

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
    static std::vector<Op> Ops() {
        std::vector<Op> ops;
        for (const auto& call : FakeRegistry::Log()) {
            ops.push_back(call.op);
        }
        return ops;
    }
};

TEST_F(SeamCalls, EachOperationOpensOnceAndClosesWhatItOpened) {
    TestRegistry::SetString(Base, "v", "1");
    TestRegistry::CreateKey(Path("k"));
    FakeRegistry::ClearLog();
    reg.SubKey(BaseText);
    std::vector<std::u16string> names;
    reg.EnumValueName(names);
    reg.EnumSubKey(names);
    reg.DeleteValueName(u"v");
    reg.DeleteSubKey(u"k");
    reg.DeleteSubKey(u"k");
    EXPECT_EQ(Ops(), (std::vector<Op>{Op::OpenKey, Op::EnumValue, Op::EnumValue, Op::CloseKey, //
                                      Op::OpenKey, Op::EnumKey, Op::EnumKey, Op::CloseKey,     //
                                      Op::OpenKey, Op::DeleteValue, Op::CloseKey,              //
                                      Op::OpenKey, Op::DeleteKey, Op::CloseKey,                //
                                      Op::OpenKey, Op::DeleteKey, Op::CloseKey}));
}

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
    EXPECT_EQ(Ops(), (std::vector<Op>{Op::OpenKey, Op::OpenKey}));
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

TEST_F(SeamCalls, LongNamesAreAskedForAgainWithALargerBuffer) {
    TestRegistry::CreateKey(Path(std::string(200, 'k')));
    FakeRegistry::ClearLog();
    reg.SubKey(BaseText);
    std::vector<std::u16string> names;
    EXPECT_EQ(reg.EnumSubKey(names), 1);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> asked; // index, capacity
    for (const auto& call : FakeRegistry::Log()) {
        if (call.op == Op::EnumKey) {
            asked.emplace_back(call.index, call.capacity);
        }
    }
    EXPECT_EQ(asked, (std::vector<std::pair<std::uint32_t, std::uint32_t>>{
                         {0, 80}, {0, 160}, {0, 320}, {1, 80}}));
}

TEST_F(SeamCalls, PredefinedRootIsNeverClosed) {
    reg.SubKey(u"");
    std::vector<std::u16string> names;
    reg.EnumSubKey(names);
    for (const auto& call : FakeRegistry::Log()) {
        EXPECT_NE(call.op, Op::CloseKey);
    }
}
