// Listing and deleting through the accessor. These cases run against the
// host stand-in and against Wine's registry; both must agree.
#include "platform/AnsiCodePage.h"
#include "tests/support/RegistryTest.h"

#include <algorithm>

#include <string>
#include <vector>

using TestRegistry::Ansi;
using TestRegistry::Decoded;
using Names = std::vector<std::u16string>;

class AccessorCore : public RegistryTest {};

TEST_F(AccessorCore, PropertiesStoreWithoutTouchingTheRegistry) {
    EXPECT_EQ(reg.RegKey(), RootKey::CurrentUser);
    EXPECT_EQ(reg.SubKey(), u"");
    reg.RegKey(RootKey::LocalMachine);
    reg.SubKey(u"no such\\key");
    std::u16string copy = reg.SubKey();
    copy += u"x";
    EXPECT_EQ(reg.RegKey(), RootKey::LocalMachine);
    EXPECT_EQ(reg.SubKey(), u"no such\\key");
}

TEST_F(AccessorCore, MissingKeyListsNothingAndDeletesNothing) {
    reg.SubKey(PathText(u"missing"));
    Names values{u"kept"};
    Names keys{u"kept", u"too"};
    EXPECT_EQ(reg.EnumValueName(values), 0);
    EXPECT_EQ(reg.EnumSubKey(keys), 0);
    EXPECT_EQ(values, Names{u"kept"});
    EXPECT_EQ(keys, (Names{u"kept", u"too"}));
    EXPECT_FALSE(reg.DeleteValueName(u"v"));
    EXPECT_FALSE(reg.DeleteSubKey(u"k"));
    EXPECT_FALSE(TestRegistry::KeyExists(Path("missing")));
}

TEST_F(AccessorCore, EmptyKeyLeavesTheCallersListAsItWas) {
    reg.SubKey(BaseText);
    Names list{u"one", u"two", u"three"};
    EXPECT_EQ(reg.EnumValueName(list), 0);
    EXPECT_EQ(reg.EnumSubKey(list), 0);
    EXPECT_EQ(list, (Names{u"one", u"two", u"three"}));
}

TEST_F(AccessorCore, ListsNamesInThePlatformsOrderAndFitsTheList) {
    for (const char* name : {"b", "a", "C"}) {
        TestRegistry::SetString(Base, name, "x");
        TestRegistry::CreateKey(Path(name));
    }
    reg.SubKey(BaseText);

    Names longer{u"1", u"2", u"3", u"4", u"5"};
    EXPECT_EQ(reg.EnumValueName(longer), 3);
    EXPECT_EQ(longer, Decoded(TestRegistry::ValueNames(Base)));

    Names shorter{u"old"};
    EXPECT_EQ(reg.EnumSubKey(shorter), 3);
    EXPECT_EQ(shorter, Decoded(TestRegistry::SubkeyNames(Base)));
}

TEST_F(AccessorCore, DeletesExactlyTheNamedValueOrSubkey) {
    TestRegistry::SetString(Base, "keep", "1");
    TestRegistry::SetString(Base, "gone", "2");
    TestRegistry::CreateKey(Path("keep"));
    TestRegistry::CreateKey(Path("gone"));
    reg.SubKey(BaseText);

    EXPECT_TRUE(reg.DeleteValueName(u"gone"));
    EXPECT_TRUE(reg.DeleteSubKey(u"gone"));
    EXPECT_FALSE(reg.DeleteValueName(u"gone"));
    EXPECT_FALSE(reg.DeleteSubKey(u"gone"));

    EXPECT_EQ(TestRegistry::ValueNames(Base), std::vector<std::string>{"keep"});
    EXPECT_EQ(TestRegistry::SubkeyNames(Base), std::vector<std::string>{"keep"});

    // An empty name would make the platform delete the addressed key itself.
    reg.SubKey(PathText(u"keep"));
    EXPECT_FALSE(reg.DeleteSubKey(u""));
    EXPECT_TRUE(TestRegistry::KeyExists(Path("keep")));
}

TEST_F(AccessorCore, SubkeyThatStillHasSubkeysIsNotDeleted) {
    TestRegistry::SetString(Path("parent"), "v", "1");
    TestRegistry::CreateKey(Path("parent\\child"));
    const std::string before = TestRegistry::Snapshot(Base);
    reg.SubKey(BaseText);
    EXPECT_FALSE(reg.DeleteSubKey(u"parent"));
    EXPECT_EQ(TestRegistry::Snapshot(Base), before);
}

TEST_F(AccessorCore, UnnamedValueIsListedAsEmptyAndDeletedByIt) {
    TestRegistry::SetString(Base, "", "default");
    reg.SubKey(BaseText);
    Names names;
    ASSERT_EQ(reg.EnumValueName(names), 1);
    EXPECT_EQ(names, Names{u""});
    EXPECT_TRUE(reg.DeleteValueName(u""));
    EXPECT_TRUE(TestRegistry::ValueNames(Base).empty());
}

// The one case that writes outside the test's key on purpose: a value of
// the tests' own on HKEY_CURRENT_USER, there only while it runs (or since a
// run that was cut short).
TEST_F(AccessorCore, EmptySubKeyAddressesTheRootItself) {
    const std::string valueName = "orrelin_regdel test value";
    TestRegistry::DeleteValue("", valueName);
    TestRegistry::SetString("", valueName, "x");
    Names keys;
    EXPECT_GT(reg.EnumSubKey(keys), 0);
    EXPECT_NE(std::find(keys.begin(), keys.end(), u"Software"), keys.end());
    Names values;
    reg.EnumValueName(values);
    EXPECT_NE(std::find(values.begin(), values.end(), u"orrelin_regdel test value"), values.end());
    EXPECT_TRUE(reg.DeleteValueName(u"orrelin_regdel test value"));
    EXPECT_FALSE(TestRegistry::ReadValue("", valueName).has_value());
    TestRegistry::DeleteValue("", valueName);
}

TEST_F(AccessorCore, JapaneseNamesCrossTheCodePage) {
    const std::u16string name = u"設定・テスト";
    TestRegistry::SetString(Base, Ansi(name), "1");
    TestRegistry::CreateKey(Path(Ansi(name)));
    reg.SubKey(BaseText);
    Names names;
    ASSERT_EQ(reg.EnumValueName(names), 1);
    EXPECT_EQ(names[0], name);
    ASSERT_EQ(reg.EnumSubKey(names), 1);
    EXPECT_EQ(names[0], name);
    EXPECT_TRUE(reg.DeleteValueName(name));
    EXPECT_TRUE(reg.DeleteSubKey(name));
    EXPECT_TRUE(TestRegistry::ValueNames(Base).empty());
    EXPECT_TRUE(TestRegistry::SubkeyNames(Base).empty());
}

// The first listing call offers 80 bytes; longer names must still be listed
// in full, not end the listing early.
TEST_F(AccessorCore, NamesLongerThanTheFirstBufferAreListedInFull) {
    const std::vector<std::u16string> names = {
        std::u16string(79, u'a'),         // fits exactly with its NUL
        std::u16string(80, u'b'),         // one byte too many
        std::u16string(39, u'あ') + u"c", // 79 bytes
        std::u16string(40, u'い'),        // 80 bytes
        std::u16string(127, u'う'),       // 254 bytes
        std::u16string(255, u'd'),        // the longest key name there is
    };
    for (const auto& name : names) {
        TestRegistry::SetString(Base, Ansi(name), "1");
        TestRegistry::CreateKey(Path(Ansi(name)));
    }
    const std::u16string longValue(2000, u'え');
    TestRegistry::SetString(Base, Ansi(longValue), "1");

    reg.SubKey(BaseText);
    Names values;
    Names keys;
    EXPECT_EQ(reg.EnumValueName(values), 7);
    EXPECT_EQ(values, Decoded(TestRegistry::ValueNames(Base)));
    EXPECT_EQ(reg.EnumSubKey(keys), 6);
    EXPECT_EQ(keys, Decoded(TestRegistry::SubkeyNames(Base)));

    for (const auto& name : names) {
        EXPECT_TRUE(reg.DeleteValueName(name));
        EXPECT_TRUE(reg.DeleteSubKey(name));
    }
    EXPECT_TRUE(reg.DeleteValueName(longValue));
    EXPECT_TRUE(TestRegistry::ValueNames(Base).empty());
    EXPECT_TRUE(TestRegistry::SubkeyNames(Base).empty());
}

// A link stands for another key: members that read or write go through it
// as every registry caller does, but deleting a link deletes the link alone,
// wherever it points and whether its target exists or not. A key that merely
// holds a value of the link's name is taken for one and deleted as itself.
TEST_F(AccessorCore, LinksAreReadThroughButDeletedAsLinks) {
    const std::string target = Path("other program");
    TestRegistry::SetString(target, "keep", "1");
    TestRegistry::SetString(target + "\\inner", "deep", "2");
    TestRegistry::CreateLink(Path("link"), target);
    TestRegistry::CreateLink(Path("dangling"), Path("nowhere"));
    TestRegistry::SetString(Path("look-alike"), RegistryApi::LinkValueName, "not a link");
    TestRegistry::SetString(Path("look-alike with subkey\\below"), "v", "1");
    TestRegistry::SetString(Path("look-alike with subkey"), RegistryApi::LinkValueName, "x");
    const std::string before = TestRegistry::Snapshot(target);

    reg.SubKey(BaseText);
    for (const auto& [name, link] : {std::pair{u"link", LinkTest::Link},
                                     {u"dangling", LinkTest::Link},
                                     {u"look-alike", LinkTest::Link},
                                     {u"other program", LinkTest::NotALink},
                                     {u"missing", LinkTest::NotALink},
                                     {u"", LinkTest::CannotTell}}) {
        EXPECT_EQ(reg.IsLinkKey(name), link) << Ansi(name);
    }
    reg.SubKey(PathText(u"link"));
    EXPECT_TRUE(reg.IsThereKey());
    EXPECT_EQ(reg.GetString(u"keep"), u"1");
    Names names;
    EXPECT_EQ(reg.EnumSubKey(names), 1);
    EXPECT_EQ(names, Names{u"inner"});

    reg.SubKey(BaseText);
    EXPECT_TRUE(reg.DeleteSubKey(u"link"));
    EXPECT_TRUE(reg.DeleteSubKey(u"dangling"));
    EXPECT_TRUE(reg.DeleteSubKey(u"look-alike"));
    EXPECT_FALSE(reg.DeleteSubKey(u"look-alike with subkey"));
    EXPECT_FALSE(reg.DeleteSubKey(u"link")) << "deleted already";
    EXPECT_EQ(TestRegistry::Snapshot(target), before);
    EXPECT_EQ(TestRegistry::SubkeyNames(Base),
              (std::vector<std::string>{"look-alike with subkey", "other program"}));
    EXPECT_TRUE(TestRegistry::KeyExists(Path("look-alike with subkey\\below")));
}

// Links that hide what they are or where they lead: one that withholds the
// right to read its link value, one in a key that can only be read, and,
// in code page 932, a key named "·¥inner" that lists as "・\inner", a path
// through the link "・". None may be taken for a key of its own, and
// nothing is deleted through them.
TEST_F(AccessorCore, LinksThatHideWhatTheyAreAreNeverDeletedThrough) {
    const std::string target = Path("other program");
    TestRegistry::SetString(target, "keep", "1");
    TestRegistry::SetString(target + "\\inner", "deep", "2");
    TestRegistry::CreateLink(Path("hidden"), target);
    TestRegistry::CreateLink(Path("read-only\\link"), target);
    TestRegistry::CreateLink(Path(Ansi(u"・")), target);
    TestRegistry::CreateKeyNamed(Base, u"·¥inner");
    constexpr std::uint32_t KeyQueryValue = 0x1;
    constexpr std::uint32_t AllButReading = 0x10000 | 0x26; // DELETE and the writing rights
    TestRegistry::Deny(Path("hidden"), KeyQueryValue);
    TestRegistry::Deny(Path("read-only"), AllButReading);
    const std::string before = TestRegistry::Snapshot(target);

    reg.SubKey(BaseText);
    EXPECT_EQ(reg.IsLinkKey(u"hidden"), LinkTest::CannotTell);
    reg.SubKey(PathText(u"read-only"));
    EXPECT_EQ(reg.IsLinkKey(u"link"), LinkTest::Link);
    EXPECT_FALSE(reg.DeleteSubKey(u"link")) << "the parent cannot be opened to delete from";
    for (const std::u16string link : {u"hidden", u"read-only\\link"}) {
        reg.SubKey(PathText(link));
        Names names;
        EXPECT_EQ(reg.EnumSubKey(names), 1) << "read through as every caller does";
        EXPECT_FALSE(reg.DeleteValueName(u"keep"));
        EXPECT_FALSE(reg.DeleteSubKey(u"inner"));
    }

    reg.SubKey(BaseText);
    Names names;
    reg.EnumSubKey(names);
    const auto listed = std::find_if(names.begin(), names.end(), [](const std::u16string& name) {
        return name.ends_with(u"inner");
    });
    ASSERT_NE(listed, names.end());
    const bool altered = !TestRegistry::AnsiCodePageIsUtf8();
    EXPECT_EQ(*listed, altered ? u"・\\inner" : u"·¥inner");
    EXPECT_EQ(reg.IsLinkKey(*listed), altered ? LinkTest::CannotTell : LinkTest::NotALink);
    reg.SubKey(PathText(*listed));
    EXPECT_FALSE(reg.DeleteValueName(u"deep"));
    reg.SubKey(BaseText);
    EXPECT_NE(reg.DeleteSubKey(*listed), altered);

    EXPECT_EQ(TestRegistry::Snapshot(target), before);
    EXPECT_TRUE(reg.DeleteSubKey(u"hidden")) << "a link goes as itself";
    TestRegistry::Deny(Path("read-only"), 0);
    TestRegistry::DeleteKeyNamed(Base, u"·¥inner");
}

// A name cut at an embedded NUL, or altered by the code page, could name a
// different value or key; such deletions must refuse and touch nothing.
TEST_F(AccessorCore, DeletionRefusesNamesThatWouldReachThePlatformAltered) {
    TestRegistry::SetString(Base, "a", "1");
    TestRegistry::SetString(Base, "?", "2");
    TestRegistry::CreateKey(Path("a"));
    TestRegistry::CreateKey(Path("?"));
    TestRegistry::SetString(Path("?"), "v", "3");
    const std::string before = TestRegistry::Snapshot(Base);

    reg.SubKey(BaseText);
    const std::u16string withNul(u"a\0b", 3);
    EXPECT_FALSE(reg.DeleteValueName(withNul));
    EXPECT_FALSE(reg.DeleteSubKey(withNul));
    EXPECT_FALSE(reg.DeleteValueName(u"é"));
    EXPECT_FALSE(reg.DeleteSubKey(u"é"));
    EXPECT_FALSE(reg.DeleteValueName(std::u16string(1, char16_t(0xD800))));

    reg.SubKey(std::u16string(BaseText) + std::u16string(u"\0\\a", 3));
    EXPECT_FALSE(reg.DeleteValueName(u"a"));
    reg.SubKey(PathText(u"é"));
    EXPECT_FALSE(reg.DeleteValueName(u"v"));

    EXPECT_EQ(TestRegistry::Snapshot(Base), before);
}

// A path the code page cannot carry is not replaced by what the code page
// makes of it, which would name another key.
TEST_F(AccessorCore, SubKeyReadsBackAsSetAfterAnOperation) {
    reg.SubKey(PathText(u"日本語é"));
    EXPECT_EQ(reg.SubKey(), PathText(u"日本語é"));
    Names names;
    reg.EnumValueName(names);
    EXPECT_EQ(reg.SubKey(), PathText(u"日本語é"));
}

// The suites run with code page 932, as a Japanese Windows does, and the
// Windows one also with UTF-8, which the option for worldwide language
// support makes the ANSI code page.
TEST(AnsiCodePageConversion, IsTheSystemsAndSaysWhenItIsNotExact) {
    const bool utf8 = TestRegistry::AnsiCodePageIsUtf8();
    const auto japanese = AnsiCodePage::ToAnsi(u"日本語ｱ");
    EXPECT_EQ(japanese.bytes, utf8 ? "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e\xef\xbd\xb1"
                                   : "\x93\xfa\x96\x7b\x8c\xea\xb1");
    EXPECT_TRUE(japanese.exact);
    EXPECT_EQ(AnsiCodePage::FromAnsi(japanese.bytes), u"日本語ｱ");

    for (const std::u16string& text : {std::u16string(u"é"), std::u16string(u"😀")}) {
        EXPECT_EQ(AnsiCodePage::ToAnsi(text).exact, utf8);
    }
    for (const std::u16string& lone :
         {std::u16string(1, char16_t(0xD800)), std::u16string{u'a', char16_t(0xDC00), u'b'}}) {
        EXPECT_FALSE(AnsiCodePage::ToAnsi(lone).exact);
    }
    EXPECT_TRUE(AnsiCodePage::ToAnsi(std::u16string(u"a\0b", 3)).exact);
}
