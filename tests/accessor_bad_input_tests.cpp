// Hostile arguments for every member of the accessor. Each case gets its
// documented result, and nothing outside the addressed key changes. These
// cases run against the host stand-in and against Wine's registry.
#include "tests/support/RegistryTest.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

using Bytes = std::vector<std::uint8_t>;
using Names = std::vector<std::u16string>;
using TestRegistry::Ansi;
using TestRegistry::Decoded;
using TestRegistry::StoredValue;

namespace {

struct Hostile {
    const char* what;
    std::u16string text;
};

std::u16string Units(std::initializer_list<char16_t> units) {
    return std::u16string(units);
}

// Texts that would reach the platform as something else. UTF-8 carries
// every character, so there only NUL and lone surrogates are altered.
std::vector<Hostile> AlteredTexts() {
    std::vector<Hostile> texts = {
        {"NUL inside", std::u16string(u"a\0b", 3)},
        {"NUL first", std::u16string(u"\0a", 2)},
        {"NUL last", std::u16string(u"a\0", 2)},
        {"lone high surrogate", Units({u'a', 0xD800})},
        {"lone low surrogate", Units({0xDC00})},
        {"surrogates reversed", Units({0xDC00, 0xD800})},
    };
    if (!TestRegistry::AnsiCodePageIsUtf8()) {
        texts.insert(texts.end(), {
                                      {"outside code page 932", u"é"},
                                      {"a pair outside code page 932", u"😀"},
                                      {"only a best fit in code page 932", u"〜"},
                                      {"yen sign, not the separator's byte", u"¥"},
                                  });
    }
    return texts;
}

bool Contains(const Names& names, const std::u16string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

// A listing of the test key with the sections of `key` and everything below
// it left out.
std::string Outside(const std::string& listing, const std::string& key) {
    std::istringstream lines(listing);
    std::string kept;
    std::string line;
    bool inside = false;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.front() == '[') {
            inside = line == "[" + key + "]" || line.rfind("[" + key + "\\", 0) == 0;
        }
        if (!inside) {
            kept += line + '\n';
        }
    }
    return kept;
}

Bytes Repeated(std::size_t size, std::uint8_t byte) {
    return Bytes(size, byte);
}

Bytes BytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

} // namespace

// The test key holds values and subkeys whose names an altered name would
// hit: "?" is what the code page makes of a character it cannot hold, and
// "a" is what "a\0b" is cut to.
class BadInput : public RegistryTest {
protected:
    void SetUp() override {
        RegistryTest::SetUp();
        for (const char* name : {"a", "?"}) {
            TestRegistry::SetString(Base, name, "base");
            TestRegistry::SetString(Target(), name, std::string("target ") + name);
            TestRegistry::SetString(Path(std::string("target\\") + name), "x", "1");
            TestRegistry::SetString(Path("sibling"), name, "sibling");
            TestRegistry::CreateKey(Path(std::string("sibling\\") + name));
        }
        TestRegistry::SetValue(Target(), "bin", RegistryApi::TypeBinary, {1, 2, 3});
        TestRegistry::CreateKey(Path("target\\child\\grand"));
        reg.SubKey(TargetText());
    }

    static std::string Target() { return Path("target"); }
    static std::u16string TargetText() { return PathText(u"target"); }
    static std::string Everything() { return TestRegistry::Snapshot(Base); }
    static std::string OutsideTarget() { return Outside(Everything(), Target()); }

    // Calls every member that changes the registry on the key SubKey names;
    // all must refuse and leave SubKey as it was.
    void ExpectEveryChangeRefused(const std::u16string& name) {
        const std::u16string path = reg.SubKey();
        EXPECT_FALSE(reg.DeleteValueName(name));
        EXPECT_FALSE(reg.DeleteSubKey(name));
        EXPECT_FALSE(reg.SetString(name, u"x"));
        EXPECT_FALSE(reg.SetDWORD(name, 1));
        EXPECT_FALSE(reg.SetBinary(name, {1}, 1));
        EXPECT_EQ(reg.SubKey(), path);
    }

    // Calls every reader for `name`; all must give their fallback, and
    // GetBinary must leave its list as `listAfter`.
    void ExpectEveryReaderFellBack(const std::u16string& name, const Bytes& listAfter) {
        EXPECT_EQ(reg.GetString(name, u"default"), u"default");
        EXPECT_EQ(reg.GetDWORD(name, -5), -5);
        Bytes bytes{9};
        EXPECT_EQ(reg.GetBinary(name, bytes), 0);
        EXPECT_EQ(bytes, listAfter);
    }

    // Calls every member that reads; all must fail with their failure result.
    // A key that cannot be opened leaves GetBinary's list untouched.
    void ExpectEveryReadFailed(const std::u16string& name = u"a",
                               const Bytes& listAfter = Bytes{9}) {
        EXPECT_FALSE(reg.IsThereKey());
        Names kept{u"kept"};
        EXPECT_EQ(reg.EnumValueName(kept), 0);
        EXPECT_EQ(reg.EnumSubKey(kept), 0);
        EXPECT_EQ(kept, Names{u"kept"});
        ExpectEveryReaderFellBack(name, listAfter);
    }
};

// A name the platform would be handed altered addresses nothing: used, "é"
// would reach the value or subkey "?", "a\0b" the value "a" and "\0a" the
// unnamed value. Readers answer as for a missing value.
TEST_F(BadInput, NamesTheCodePageWouldAlterAddressNothing) {
    for (const char* name : {"", "a", "?", "??"}) {
        TestRegistry::SetValue(Target(), name, RegistryApi::TypeDword, {7, 0, 0, 0});
    }
    const std::string before = Everything();
    for (const auto& [what, text] : AlteredTexts()) {
        SCOPED_TRACE(what);
        ExpectEveryReaderFellBack(text, Bytes{});
        ExpectEveryChangeRefused(text);
        EXPECT_FALSE(reg.SetString(u"new", text)) << "as the text stored";
        EXPECT_EQ(reg.SubKey(), TargetText());
    }
    EXPECT_EQ(Everything(), before);
}

// A path the platform would be handed altered addresses nothing, whatever was
// called before: were SubKey left as the code page returns it (target\? for
// target\é), the next call would reach a key the caller never named.
TEST_F(BadInput, PathsTheCodePageWouldAlterAddressNothing) {
    // Paths holding "\0a" are cut to these two keys; target\? and target\a,
    // which "é" and "a\0b" would reach, hold x already.
    for (const std::string& key : {std::string(Base), Target()}) {
        TestRegistry::SetValue(key, "x", RegistryApi::TypeDword, {7, 0, 0, 0});
    }
    const std::string before = Everything();
    for (const auto& [what, text] : AlteredTexts()) {
        SCOPED_TRACE(what);
        for (const std::u16string& path :
             {TargetText() + text, PathText(text), PathText(text + u"\\new"),
              TargetText() + u"\\" + text}) {
            reg.SubKey(path);
            ExpectEveryReadFailed(u"x");
            ExpectEveryChangeRefused(u"x");
            EXPECT_EQ(reg.SubKey(), path);
        }
    }
    EXPECT_EQ(Everything(), before);
}

TEST_F(BadInput, EmptyNamesMeanTheUnnamedValueAndNeverTheKeyItself) {
    const std::string outside = OutsideTarget();
    reg.SubKey(TargetText() + u"\\a");
    EXPECT_FALSE(reg.DeleteSubKey(u"")) << "would delete the addressed key itself";
    EXPECT_TRUE(TestRegistry::KeyExists(Target() + "\\a"));

    reg.SubKey(TargetText());
    EXPECT_FALSE(reg.DeleteValueName(u"")) << "there is no unnamed value yet";
    EXPECT_EQ(reg.GetString(u"", u"default"), u"default");
    EXPECT_EQ(reg.GetDWORD(u"", -5), -5);

    EXPECT_TRUE(reg.SetString(u"", u"unnamed"));
    EXPECT_EQ(reg.GetString(u"", u"default"), u"unnamed");
    Names names;
    reg.EnumValueName(names);
    EXPECT_TRUE(Contains(names, u""));
    EXPECT_TRUE(reg.SetDWORD(u"", 7));
    EXPECT_EQ(reg.GetDWORD(u""), 7);
    EXPECT_TRUE(reg.SetBinary(u"", {1, 2}, 2));
    Bytes bytes;
    EXPECT_EQ(reg.GetBinary(u"", bytes), 2);
    EXPECT_TRUE(reg.DeleteValueName(u""));
    EXPECT_FALSE(TestRegistry::ReadValue(Target(), "").has_value());

    EXPECT_EQ(TestRegistry::ValueNames(Target()).size(), 3u);
    EXPECT_EQ(OutsideTarget(), outside);
}

// 255 characters is the documented limit for a key name; Windows and Wine
// both take 256, and no more.
TEST_F(BadInput, KeyNamesAtTheLengthLimit) {
    const std::u16string fitting[] = {std::u16string(255, u'k'), std::u16string(256, u'l'),
                                      std::u16string(255, u'あ'), std::u16string(256, u'い')};
    for (const auto& name : fitting) {
        TestRegistry::CreateKey(Target() + "\\" + Ansi(name));
    }
    const std::string outside = OutsideTarget();
    const std::string before = Everything();

    Names keys;
    EXPECT_EQ(reg.EnumSubKey(keys), 7);
    EXPECT_EQ(keys, Decoded(TestRegistry::SubkeyNames(Target())));
    for (const auto& name : {std::u16string(257, u'k'), std::u16string(257, u'あ')}) {
        EXPECT_FALSE(reg.DeleteSubKey(name));
    }
    EXPECT_EQ(Everything(), before);

    for (const auto& name : fitting) {
        EXPECT_TRUE(Contains(keys, name));
        EXPECT_TRUE(reg.DeleteSubKey(name));
        EXPECT_FALSE(reg.DeleteSubKey(name));
    }
    EXPECT_EQ(TestRegistry::SubkeyNames(Target()).size(), 3u);
    EXPECT_EQ(OutsideTarget(), outside);
}

TEST_F(BadInput, PathsLongerThan260CharactersReachTheirKey) {
    if (TestRegistry::UnderWine()) {
        GTEST_SKIP() << "Wine's ANSI registry functions refuse a whole path longer than 260 "
                        "characters (status 234); Windows and the in-memory registry take it";
    }
    const std::string outside = OutsideTarget();
    std::u16string deep = TargetText();
    for (int level = 0; level < 40; ++level) {
        deep += u"\\level";
    }
    for (const auto& path : {TargetText() + u"\\" + std::u16string(256, u'k'), deep}) {
        reg.SubKey(path);
        EXPECT_FALSE(reg.IsThereKey());
        EXPECT_TRUE(reg.SetString(u"v", u"far"));
        EXPECT_TRUE(reg.IsThereKey());
        EXPECT_EQ(reg.GetString(u"v"), u"far");
        Names names;
        EXPECT_EQ(reg.EnumValueName(names), 1);
        EXPECT_TRUE(reg.DeleteValueName(u"v"));
    }
    EXPECT_EQ(OutsideTarget(), outside);
}

TEST_F(BadInput, ValueNamesAtTheLengthLimit) {
    const std::string outside = OutsideTarget();
    const std::u16string fitting[] = {std::u16string(16383, u'v'), std::u16string(16383, u'値')};
    for (const auto& name : fitting) {
        EXPECT_TRUE(reg.SetString(name, u"long name"));
        EXPECT_TRUE(reg.SetDWORD(name, 4));
        EXPECT_EQ(reg.GetDWORD(name), 4);
    }
    Names names;
    EXPECT_EQ(reg.EnumValueName(names), 5);
    EXPECT_EQ(names, Decoded(TestRegistry::ValueNames(Target())));
    for (const auto& name : fitting) {
        EXPECT_TRUE(Contains(names, name));
        EXPECT_TRUE(reg.DeleteValueName(name));
    }

    const std::string before = Everything();
    for (const auto& name : {std::u16string(16384, u'v'), std::u16string(16384, u'値')}) {
        ExpectEveryChangeRefused(name);
        EXPECT_EQ(reg.GetString(name, u"default"), u"default");
    }
    EXPECT_EQ(Everything(), before);
    EXPECT_EQ(OutsideTarget(), outside);
}

// The first listing call offers 80 bytes; a double-byte name crosses that
// mark in two-byte steps.
TEST_F(BadInput, DoubleByteNamesAroundEightyBytes) {
    const std::string outside = OutsideTarget();
    const std::u16string names[] = {
        std::u16string(39, u'あ') + u"c", // 79 bytes
        std::u16string(40, u'い'),        // 80
        std::u16string(40, u'う') + u"d", // 81
        std::u16string(41, u'え'),        // 82
        std::u16string(80, u'ｱ'),         // 80, one byte each
    };
    for (const auto& name : names) {
        EXPECT_TRUE(reg.SetString(name, name));
    }
    for (const auto& name : names) {
        reg.SubKey(TargetText() + u"\\" + name);
        EXPECT_TRUE(reg.SetDWORD(name, 1));
    }
    reg.SubKey(TargetText());
    Names values;
    Names keys;
    EXPECT_EQ(reg.EnumValueName(values), 8);
    EXPECT_EQ(reg.EnumSubKey(keys), 8);
    for (const auto& name : names) {
        EXPECT_TRUE(Contains(values, name));
        EXPECT_TRUE(Contains(keys, name));
        EXPECT_EQ(reg.GetString(name), name);
        EXPECT_TRUE(reg.DeleteValueName(name));
        reg.SubKey(TargetText() + u"\\" + name);
        EXPECT_TRUE(reg.DeleteValueName(name));
        reg.SubKey(TargetText());
        EXPECT_TRUE(reg.DeleteSubKey(name));
    }
    EXPECT_EQ(TestRegistry::ValueNames(Target()).size(), 3u);
    EXPECT_EQ(TestRegistry::SubkeyNames(Target()).size(), 3u);
    EXPECT_EQ(OutsideTarget(), outside);
}

// The platform skips doubled and trailing separators but refuses a leading
// one; the object hands the path over unchanged.
TEST_F(BadInput, SeparatorsInSubKey) {
    const std::string before = Everything();
    struct Case {
        const char* what;
        std::u16string path;
        bool reachesTarget;
    };
    const std::vector<Case> cases = {
        {"trailing", TargetText() + u"\\", true},
        {"two trailing", TargetText() + u"\\\\", true},
        {"doubled", u"Software\\\\orrelin_regdel tests\\\\target", true},
        {"leading", std::u16string(u"\\") + TargetText(), false},
        {"alone", u"\\", false},
        {"two alone", u"\\\\", false},
    };
    for (const auto& [what, path, reachesTarget] : cases) {
        SCOPED_TRACE(what);
        reg.SubKey(path);
        if (!reachesTarget) {
            ExpectEveryReadFailed();
            // Were a lone separator taken for HKEY_CURRENT_USER itself, a change
            // would land there, so under a name of the tests' own.
            ExpectEveryChangeRefused(path.ends_with(TargetText()) ? u"a" : u"orrelin_regdel test");
            continue;
        }
        EXPECT_TRUE(reg.IsThereKey());
        Names names;
        EXPECT_EQ(reg.EnumValueName(names), 3);
        EXPECT_EQ(names, Decoded(TestRegistry::ValueNames(Target())));
        EXPECT_EQ(reg.GetString(u"a"), u"target a");
        EXPECT_TRUE(reg.SetString(u"new", u"n"));
        EXPECT_TRUE(TestRegistry::ReadValue(Target(), "new").has_value());
        EXPECT_TRUE(reg.DeleteValueName(u"new"));
        TestRegistry::CreateKey(Target() + "\\gone");
        EXPECT_TRUE(reg.DeleteSubKey(u"gone"));
        EXPECT_FALSE(TestRegistry::KeyExists(Target() + "\\gone"));
    }
    EXPECT_EQ(Everything(), before);
}

// A subkey name may be a path below the addressed key; a value name may hold
// separators of its own.
TEST_F(BadInput, SeparatorsInNames) {
    const std::string outside = OutsideTarget();
    EXPECT_FALSE(reg.DeleteSubKey(u"\\a"));
    EXPECT_TRUE(reg.DeleteSubKey(u"a\\"));
    EXPECT_FALSE(TestRegistry::KeyExists(Target() + "\\a"));
    EXPECT_FALSE(reg.DeleteSubKey(u"child")) << "it still has a subkey";
    EXPECT_TRUE(reg.DeleteSubKey(u"child\\grand"));
    EXPECT_TRUE(TestRegistry::KeyExists(Target() + "\\child"));

    EXPECT_TRUE(reg.SetString(u"x\\y", u"value, not key"));
    EXPECT_FALSE(TestRegistry::KeyExists(Target() + "\\x"));
    EXPECT_EQ(reg.GetString(u"x\\y"), u"value, not key");
    EXPECT_FALSE(reg.DeleteSubKey(u"x\\y"));
    EXPECT_TRUE(reg.DeleteValueName(u"x\\y"));
    EXPECT_EQ(OutsideTarget(), outside);
}

// In code page 932 the second byte of many characters is the separator's
// byte; the platform still takes such a character as one letter.
TEST_F(BadInput, TrailBytesThatLookLikeSeparators) {
    const std::string outside = OutsideTarget();
    ASSERT_EQ(Ansi(u"ソ表能").find('\\') != std::string::npos, !TestRegistry::AnsiCodePageIsUtf8());
    reg.SubKey(TargetText() + u"\\表示\\ソ");
    EXPECT_TRUE(reg.SetString(u"能", u"予定"));
    EXPECT_TRUE(reg.IsThereKey());
    EXPECT_EQ(reg.GetString(u"能"), u"予定");
    Names names;
    EXPECT_EQ(reg.EnumValueName(names), 1);
    EXPECT_EQ(names, Names{u"能"});
    EXPECT_TRUE(TestRegistry::KeyExists(Target() + "\\" + Ansi(u"表示\\ソ")));

    reg.SubKey(TargetText());
    EXPECT_EQ(reg.EnumSubKey(names), 4);
    EXPECT_TRUE(Contains(names, u"表示"));
    reg.SubKey(TargetText() + u"\\表示");
    EXPECT_EQ(reg.EnumSubKey(names), 1);
    EXPECT_EQ(names, Names{u"ソ"});
    EXPECT_TRUE(reg.DeleteSubKey(u"ソ"));
    reg.SubKey(TargetText());
    EXPECT_TRUE(reg.DeleteSubKey(u"表示"));
    EXPECT_EQ(TestRegistry::SubkeyNames(Target()).size(), 3u);

    // The test helpers split paths the same way.
    TestRegistry::CreateKey(Target() + "\\" + Ansi(u"表\\ソ"));
    EXPECT_EQ(TestRegistry::SubkeyNames(Target() + "\\" + Ansi(u"表")),
              std::vector<std::string>{Ansi(u"ソ")});
    TestRegistry::DeleteTree(Target() + "\\" + Ansi(u"表"));
    EXPECT_EQ(TestRegistry::SubkeyNames(Target()).size(), 3u);
    EXPECT_EQ(OutsideTarget(), outside);
}

// The platform compares names with every letter upper-cased, in any script.
TEST_F(BadInput, NamesMatchRegardlessOfCaseInEveryScript) {
    struct Case {
        std::u16string stored;
        std::u16string asked;
        bool same;
    };
    const std::vector<Case> cases = {
        {u"abc", u"ABC", true},   {u"ａｂｃ", u"ＡＢＣ", true}, {u"αβγω", u"ΑΒΓΩ", true},
        {u"абвё", u"АБВЁ", true}, {u"ⅰⅱⅹ", u"ⅠⅡⅩ", true},       {u"ｱ", u"ア", false},
        {u"あ", u"ア", false},    {u"ｚ", u"z", false},
    };
    const std::string outside = OutsideTarget();
    for (const auto& [stored, asked, same] : cases) {
        SCOPED_TRACE(Ansi(stored) + " / " + Ansi(asked));
        TestRegistry::SetString(Target(), Ansi(stored), "s");
        TestRegistry::CreateKey(Target() + "\\" + Ansi(stored));

        EXPECT_EQ(reg.GetString(asked, u"default"), same ? u"s" : u"default");
        EXPECT_TRUE(reg.SetString(asked, u"t"));
        EXPECT_EQ(reg.GetString(stored), same ? u"t" : u"s");
        const Names values = Decoded(TestRegistry::ValueNames(Target()));
        EXPECT_TRUE(Contains(values, stored)) << "a replaced value keeps its name";
        EXPECT_EQ(Contains(values, asked), !same);

        reg.SubKey(TargetText() + u"\\" + asked);
        EXPECT_EQ(reg.IsThereKey(), same);
        reg.SubKey(TargetText());
        EXPECT_EQ(reg.DeleteSubKey(asked), same);
        EXPECT_TRUE(reg.DeleteValueName(asked));
        EXPECT_EQ(reg.DeleteValueName(stored), !same);
        TestRegistry::DeleteTree(Target() + "\\" + Ansi(stored));
    }
    EXPECT_EQ(TestRegistry::ValueNames(Target()).size(), 3u);
    EXPECT_EQ(OutsideTarget(), outside);
}

// Data at and around the readers' 4096 bytes, and data that end without a
// NUL or in the middle of a multi-byte character: no read goes past what
// the platform returned.
TEST_F(BadInput, DataAroundTheReadersCapacity) {
    const std::string outside = OutsideTarget();
    const bool utf8 = TestRegistry::AnsiCodePageIsUtf8();
    // 4095 bytes and the NUL, in characters of two bytes (three in UTF-8).
    const std::size_t width = Ansi(u"字").size();
    const std::u16string fits =
        std::u16string(4095 / width, u'字') + std::u16string(4095 % width, u'a');
    const std::u16string oneByteTooMany = fits + u"a";
    EXPECT_TRUE(reg.SetString(u"fits", fits));
    EXPECT_TRUE(reg.SetString(u"over", oneByteTooMany));
    EXPECT_EQ(reg.GetString(u"fits", u"default"), fits);
    EXPECT_EQ(reg.GetString(u"over", u"default"), u"default");

    struct Case {
        const char* what;
        Bytes data;
        std::optional<std::u16string> text; // nullopt: the reader's default
    };
    Bytes cutLeadByte = Repeated(4095, 'a');
    cutLeadByte.push_back(utf8 ? 0xE5 : 0x82); // first byte of a longer character
    const std::vector<Case> cases = {
        {"full, no NUL", Repeated(4096, 'b'), std::u16string(4096, u'b')},
        {"one byte over, no NUL", Repeated(4097, 'b'), std::nullopt},
        {"NUL in the middle", BytesOf(std::string("ab\0cd", 5)), u"ab"},
        {"ends in a lead byte", cutLeadByte,
         std::u16string(4095, u'a') + (utf8 ? u"\uFFFD" : u"・")},
        {"no bytes", {}, u""},
    };
    for (const auto& [what, data, text] : cases) {
        SCOPED_TRACE(what);
        TestRegistry::SetValue(Target(), "raw", RegistryApi::TypeBinary, data);
        EXPECT_EQ(reg.GetString(u"raw", u"default"), text.value_or(u"default"));
        Bytes bytes{7};
        const bool fits = data.size() <= 4096;
        EXPECT_EQ(reg.GetBinary(u"raw", bytes), fits ? static_cast<std::int32_t>(data.size()) : 0);
        EXPECT_EQ(bytes, fits ? data : Bytes{});
    }
    EXPECT_EQ(reg.GetDWORD(u"raw", -1), 0) << "no bytes read as a number";

    for (const std::size_t size : {std::size_t{4096}, std::size_t{4097}}) {
        EXPECT_TRUE(reg.SetBinary(u"bytes", Repeated(size, 0xAB), size));
        Bytes bytes;
        EXPECT_EQ(reg.GetBinary(u"bytes", bytes), size == 4096 ? 4096 : 0);
        EXPECT_EQ(bytes.size(), size == 4096 ? 4096u : 0u);
    }
    EXPECT_EQ(OutsideTarget(), outside);
}

// The byte count for SetBinary, as numbers and as texts. Anything that is not
// a whole number between 0 and the list's length is refused.
TEST_F(BadInput, SetBinaryLengthsAsNumbersAndTexts) {
    const Bytes three{1, 2, 3};
    const Bytes ten{1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    const char16_t* noText = nullptr;
    struct Case {
        const char* what;
        Bytes bytes;
        ValueLength length;
        std::optional<std::size_t> stored; // nullopt: refused
    };
    const std::vector<Case> cases = {
        {"0", three, 0, 0},
        {"the whole list", three, 3, 3},
        {"part of it", three, 2, 2},
        {"as a short", three, static_cast<short>(2), 2},
        {"as an unsigned char", three, static_cast<unsigned char>(1), 1},
        {"one more than the list", three, 4, std::nullopt},
        {"-1", three, -1, std::nullopt},
        {"smallest 32-bit", three, std::numeric_limits<std::int32_t>::min(), std::nullopt},
        {"largest 32-bit", three, std::numeric_limits<std::int32_t>::max(), std::nullopt},
        {"2 beyond 32 bits", three, (std::int64_t{1} << 32) + 2, std::nullopt},
        {"largest unsigned 32-bit", three, 0xFFFFFFFFu, std::nullopt},
        {"largest unsigned 64-bit", three, std::numeric_limits<std::uint64_t>::max(), std::nullopt},
        {"smallest 64-bit", three, std::numeric_limits<std::int64_t>::min(), std::nullopt},
        {"\"3\"", three, u"3", 3},
        {"\" 2 \"", three, u" 2 ", 2},
        {"\"+1\"", three, u"+1", 1},
        {"\"-0\"", three, u"-0", 0},
        {"\"003\"", three, u"003", 3},
        {"\"9\"", ten, u"9", 9},
        {"\"4\"", three, u"4", std::nullopt},
        {"\"-1\"", three, u"-1", std::nullopt},
        {"empty text", three, u"", std::nullopt},
        {"spaces only", three, u"   ", std::nullopt},
        {"sign only", three, u"-", std::nullopt},
        {"two signs", three, u"+-1", std::nullopt},
        {"fraction", three, u"1.5", std::nullopt},
        {"exponent", three, u"1e0", std::nullopt},
        {"hexadecimal", three, u"0x2", std::nullopt},
        {"full-width digit", three, u"２", std::nullopt},
        {"tab before", three, u"\t2", std::nullopt},
        {"space inside", three, u"1 1", std::nullopt},
        {"NUL after", three, std::u16string(u"2\0", 2), std::nullopt},
        {"just past 32 bits", three, u"2147483648", std::nullopt},
        {"just below 32 bits", three, u"-2147483649", std::nullopt},
        {"twenty digits", three, u"99999999999999999999", std::nullopt},
        {"no text at all", three, noText, std::nullopt},
        {"empty list", {}, 0, std::nullopt},
    };
    const std::string outside = OutsideTarget();
    for (const auto& [what, bytes, length, stored] : cases) {
        SCOPED_TRACE(what);
        EXPECT_EQ(reg.SetBinary(u"written", bytes, length), stored.has_value());
        const auto value = TestRegistry::ReadValue(Target(), "written");
        if (stored) {
            EXPECT_EQ(value, (StoredValue{RegistryApi::TypeBinary,
                                          Bytes(bytes.begin(), bytes.begin() + *stored)}));
            EXPECT_TRUE(reg.DeleteValueName(u"written"));
        } else {
            EXPECT_FALSE(value.has_value());
        }
    }
    EXPECT_EQ(OutsideTarget(), outside);

    // A refused length still creates the addressed key, as any write does.
    reg.SubKey(TargetText() + u"\\fresh");
    EXPECT_FALSE(reg.SetBinary(u"written", three, -1));
    EXPECT_TRUE(TestRegistry::KeyExists(Target() + "\\fresh"));
    EXPECT_TRUE(TestRegistry::ValueNames(Target() + "\\fresh").empty());
}

TEST_F(BadInput, EveryRootKey) {
    const std::string before = Everything();
    const RootKey roots[] = {RootKey::ClassesRoot, RootKey::CurrentUser, RootKey::LocalMachine,
                             RootKey::Users, RootKey::CurrentConfig};
    for (const RootKey root : roots) {
        SCOPED_TRACE(static_cast<std::uint32_t>(root));
        reg.RegKey(root);
        reg.SubKey(u"");
        EXPECT_TRUE(reg.IsThereKey());
        for (const auto enumerate : {RegistryApi::EnumKey, RegistryApi::EnumValue}) {
            const Names expected = Decoded(TestRegistry::Names(
                RegistryApi::RootHandle(static_cast<std::uint32_t>(root)), enumerate));
            Names names{u"kept"};
            const auto count = enumerate == RegistryApi::EnumKey ? reg.EnumSubKey(names)
                                                                 : reg.EnumValueName(names);
            EXPECT_EQ(count, static_cast<std::int32_t>(expected.size()));
            EXPECT_EQ(names, expected.empty() ? Names{u"kept"} : expected);
        }
        EXPECT_FALSE(reg.DeleteValueName(u"orrelin_regdel no such value"));
        EXPECT_FALSE(reg.DeleteSubKey(u"orrelin_regdel no such key"));
        EXPECT_EQ(reg.GetString(u"orrelin_regdel no such value", u"default"), u"default");

        reg.SubKey(u"orrelin_regdel no such key");
        ExpectEveryReadFailed();
        EXPECT_FALSE(reg.DeleteValueName(u"a"));
        EXPECT_FALSE(reg.DeleteSubKey(u"a"));
        EXPECT_FALSE(reg.IsThereKey()) << "nothing was created";

        // Opening below HKEY_CLASSES_ROOT alone forgives a leading separator.
        reg.SubKey(u"\\");
        EXPECT_EQ(reg.IsThereKey(), root == RootKey::ClassesRoot);
        EXPECT_EQ(reg.RegKey(), root);
    }
    EXPECT_EQ(Everything(), before);
}

// The property stores any identifier; one that names no root makes every
// operation fail.
TEST_F(BadInput, IdentifiersThatNameNoRoot) {
    const std::string before = Everything();
    for (const std::uint32_t identifier : {0u, 0x12345678u, 0x7FFFFFFFu}) {
        SCOPED_TRACE(identifier);
        reg.RegKey(static_cast<RootKey>(identifier));
        EXPECT_EQ(static_cast<std::uint32_t>(reg.RegKey()), identifier);
        for (const std::u16string& path : {std::u16string(), std::u16string(u"Software")}) {
            reg.SubKey(path);
            ExpectEveryReadFailed();
            ExpectEveryChangeRefused(u"orrelin_regdel test");
        }
    }
    EXPECT_EQ(Everything(), before);
}
