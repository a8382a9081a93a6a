// The key test and the typed readers and writers. These cases run against
// the host stand-in and against Wine's registry; both must agree.
#include "tests/support/RegistryTest.h"

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<std::uint8_t>;
using TestRegistry::StoredValue;

namespace {

constexpr std::uint32_t String = RegistryApi::TypeString;
constexpr std::uint32_t Binary = RegistryApi::TypeBinary;
constexpr std::uint32_t Dword = RegistryApi::TypeDword;

Bytes Filled(std::size_t size) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 7 + 1);
    }
    return bytes;
}

} // namespace

class AccessorValues : public RegistryTest {
protected:
    void SetUp() override {
        RegistryTest::SetUp();
        reg.SubKey(BaseText);
    }
    static std::optional<StoredValue> Stored(const std::string& name) {
        return TestRegistry::ReadValue(Base, name);
    }
};

TEST_F(AccessorValues, IsThereKeyOpensWithoutCreating) {
    EXPECT_TRUE(reg.IsThereKey());
    reg.SubKey(PathText(u"missing"));
    EXPECT_FALSE(reg.IsThereKey());
    EXPECT_FALSE(TestRegistry::KeyExists(Path("missing")));
    for (const RootKey root : {RootKey::CurrentUser, RootKey::LocalMachine, RootKey::Users}) {
        reg.RegKey(root);
        reg.SubKey(u"");
        EXPECT_TRUE(reg.IsThereKey()) << static_cast<std::uint32_t>(root);
    }
}

TEST_F(AccessorValues, ReadersOnAMissingKeyGiveTheirDefaultsAndCreateNothing) {
    reg.SubKey(PathText(u"missing\\deeper"));
    Bytes bytes{9, 9};
    EXPECT_EQ(reg.GetString(u"v", u"default"), u"default");
    EXPECT_EQ(reg.GetString(u"v"), u"");
    EXPECT_EQ(reg.GetDWORD(u"v", -7), -7);
    EXPECT_EQ(reg.GetDWORD(u"v"), 0);
    EXPECT_EQ(reg.GetBinary(u"v", bytes), 0);
    EXPECT_EQ(bytes, (Bytes{9, 9}));
    EXPECT_FALSE(TestRegistry::KeyExists(Path("missing")));
}

TEST_F(AccessorValues, MissingValueGivesDefaultsAndAnEmptyList) {
    Bytes bytes{1, 2, 3};
    EXPECT_EQ(reg.GetString(u"absent", u"d"), u"d");
    EXPECT_EQ(reg.GetDWORD(u"absent", 42), 42);
    EXPECT_EQ(reg.GetBinary(u"absent", bytes), 0);
    EXPECT_TRUE(bytes.empty());
}

TEST_F(AccessorValues, StringsAreStoredWithOneNulAndReadBack) {
    struct Case {
        std::u16string text;
        Bytes stored;
    };
    const std::vector<Case> cases = {
        {u"abc", {'a', 'b', 'c', 0}},
        {u"", {0}},
        {u"設定", TestRegistry::AnsiCodePageIsUtf8() ? Bytes{0xe8, 0xa8, 0xad, 0xe5, 0xae, 0x9a, 0}
                                                     : Bytes{0x90, 0xdd, 0x92, 0xe8, 0}},
    };
    for (const auto& [text, stored] : cases) {
        EXPECT_TRUE(reg.SetString(u"s", text));
        EXPECT_EQ(Stored("s"), (StoredValue{String, stored}));
        EXPECT_EQ(reg.GetString(u"s", u"default"), text);
    }
}

TEST_F(AccessorValues, StringReaderLimits) {
    // Longer than the reader's 4096 bytes: stored, but read as the default.
    EXPECT_TRUE(reg.SetString(u"long", std::u16string(4096, u'x')));
    EXPECT_EQ(Stored("long")->data.size(), 4097u);
    EXPECT_EQ(reg.GetString(u"long", u"default"), u"default");
    EXPECT_TRUE(reg.SetString(u"fits", std::u16string(4095, u'x')));
    EXPECT_EQ(reg.GetString(u"fits", u"default"), std::u16string(4095, u'x'));

    // Data without a NUL end where the platform says they end.
    TestRegistry::SetValue(Base, "raw", Binary, {'a', 'b', 'c'});
    EXPECT_EQ(reg.GetString(u"raw"), u"abc");
    TestRegistry::SetValue(Base, "cut", Binary, {'a', 0, 'c'});
    EXPECT_EQ(reg.GetString(u"cut"), u"a");
}

TEST_F(AccessorValues, DwordsAreLittleEndianWhateverTheStoredType) {
    EXPECT_TRUE(reg.SetDWORD(u"d", -2));
    EXPECT_EQ(Stored("d"), (StoredValue{Dword, {0xfe, 0xff, 0xff, 0xff}}));
    EXPECT_EQ(reg.GetDWORD(u"d"), -2);

    const Bytes five{1, 2, 3, 4, 5};
    for (std::size_t size = 0; size <= 5; ++size) {
        TestRegistry::SetValue(Base, "b", Binary, Bytes(five.begin(), five.begin() + size));
        const std::int32_t expected[] = {0, 0x01, 0x0201, 0x030201, 0x04030201, -9};
        EXPECT_EQ(reg.GetDWORD(u"b", -9), expected[size]) << size << " bytes";
    }
}

TEST_F(AccessorValues, BinaryReaderTakesUpTo4096Bytes) {
    for (const std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{4096}}) {
        TestRegistry::SetValue(Base, "b", Binary, Filled(size));
        Bytes read{7};
        EXPECT_EQ(reg.GetBinary(u"b", read), static_cast<std::int32_t>(size));
        EXPECT_EQ(read, Filled(size));
    }
    TestRegistry::SetValue(Base, "b", Binary, Filled(4097));
    Bytes read{7};
    EXPECT_EQ(reg.GetBinary(u"b", read), 0);
    EXPECT_TRUE(read.empty());
}

TEST_F(AccessorValues, BinaryWriterStoresTheGivenLength) {
    const Bytes data = Filled(10);
    EXPECT_TRUE(reg.SetBinary(u"n", data, 4));
    EXPECT_EQ(Stored("n"), (StoredValue{Binary, Filled(4)}));
    EXPECT_TRUE(reg.SetBinary(u"t", data, u" +10 "));
    EXPECT_EQ(Stored("t"), (StoredValue{Binary, data}));
    EXPECT_TRUE(reg.SetBinary(u"z", data, 0));
    EXPECT_EQ(Stored("z"), (StoredValue{Binary, {}}));
    EXPECT_TRUE(reg.SetBinary(u"big", Filled(5000), 5000));
    Bytes read;
    EXPECT_EQ(reg.GetBinary(u"big", read), 0);
    EXPECT_TRUE(read.empty());
}

// A write that cannot be made as asked must say so, never claim success.
TEST_F(AccessorValues, BinaryWriterRefusesLengthsItCannotHonour) {
    const Bytes data = Filled(4);
    struct Case {
        const char* why;
        Bytes bytes;
        ValueLength length;
    };
    const std::vector<Case> cases = {
        {"empty list", {}, 0},           {"longer than the list", data, 5},
        {"negative", data, -1},          {"beyond 32 bits", data, std::int64_t{1} << 32},
        {"not a number", data, u"four"}, {"empty text", data, u""},
        {"a fraction", data, u"2.5"},    {"text out of range", data, u"2147483648"},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(reg.SetBinary(u"v", c.bytes, c.length)) << c.why;
    }
    EXPECT_TRUE(TestRegistry::ValueNames(Base).empty());
}

// What a writer stores must outlast the registry session, not vanish at
// logoff while the writer said it was stored.
TEST_F(AccessorValues, WritersCreateTheWholeMissingPathToLast) {
    reg.SubKey(PathText(u"a\\b"));
    EXPECT_TRUE(reg.SetString(u"s", u"x"));
    reg.SubKey(PathText(u"c\\d"));
    EXPECT_TRUE(reg.SetDWORD(u"d", 1));
    reg.SubKey(PathText(u"e\\f"));
    EXPECT_TRUE(reg.SetBinary(u"b", {1}, 1));
    for (const auto& [key, value] : {std::pair{"a\\b", "s"}, {"c\\d", "d"}, {"e\\f", "b"}}) {
        EXPECT_TRUE(TestRegistry::ReadValue(Path(key), value).has_value()) << key;
        EXPECT_TRUE(TestRegistry::OutlivesSession(Path(key))) << key;
    }
}

// Altered on its way to the platform, a name, path or text would be stored
// as something else; writers refuse and touch nothing.
TEST_F(AccessorValues, WritersRefuseTextTheCodePageWouldAlter) {
    const std::u16string withNul(u"a\0b", 3);
    // A character the code page has no exact form for: only a lone
    // surrogate in UTF-8.
    const std::u16string lost =
        TestRegistry::AnsiCodePageIsUtf8() ? std::u16string(1, char16_t(0xD800)) : u"é";
    EXPECT_FALSE(reg.SetString(u"s", u"caf" + lost));
    EXPECT_FALSE(reg.SetString(u"s", withNul));
    EXPECT_FALSE(reg.SetString(lost, u"x"));
    EXPECT_FALSE(reg.SetDWORD(withNul, 1));
    EXPECT_FALSE(reg.SetBinary(std::u16string(1, char16_t(0xDC00)), {1}, 1));
    reg.SubKey(PathText(lost));
    EXPECT_FALSE(reg.SetDWORD(u"d", 1));
    EXPECT_TRUE(TestRegistry::ValueNames(Base).empty());
    EXPECT_TRUE(TestRegistry::SubkeyNames(Base).empty());
}
