#include "tests/support/TestRegistry.h"

#include "platform/AnsiCodePage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <utility>

namespace TestRegistry {
namespace {

using RegistryApi::Handle;

// Where the last separator character is: in a double-byte code page the
// second byte of a character (ソ, 表) may be the separator's byte.
std::size_t LastSeparator(const std::string& path) {
    const std::u16string text = AnsiCodePage::FromAnsi(path);
    const auto split = text.rfind(u'\\');
    return split == std::u16string::npos ? std::string::npos
                                         : AnsiCodePage::ToAnsi(text.substr(0, split)).bytes.size();
}

std::string ParentOf(const std::string& path, std::size_t split) {
    return split == std::string::npos ? std::string() : path.substr(0, split);
}

constexpr std::uint32_t TypeLink = 6; // REG_LINK

// The type of the key's link value, if it has one.
std::optional<std::uint32_t> LinkValueType(const Key& key) {
    std::uint32_t type = 0;
    std::uint32_t size = 0;
    if (RegistryApi::QueryValue(key.get(), RegistryApi::LinkValueName, type, nullptr, size) !=
        RegistryApi::Success) {
        return std::nullopt;
    }
    return type;
}

bool HoldsLink(const Key& key) {
    return LinkValueType(key).has_value();
}

std::optional<StoredValue> ReadValue(Handle key, const std::string& name) {
    StoredValue value;
    std::uint32_t size = 256;
    RegistryApi::Status status = RegistryApi::MoreData;
    while (status == RegistryApi::MoreData) {
        value.data.resize(std::max<std::size_t>(size, value.data.size() * 2));
        size = static_cast<std::uint32_t>(value.data.size());
        status = RegistryApi::QueryValue(key, name, value.type, value.data.data(), size);
    }
    if (status != RegistryApi::Success) {
        return std::nullopt;
    }
    value.data.resize(size);
    return value;
}

void List(const Tree& tree, const std::string& path, std::ostringstream& listing) {
    listing << '[' << path << "]\n";
    for (const NamedValue& value : tree.values) {
        listing << "  \"" << value.name << "\" ";
        if (!value.stored) {
            listing << "unreadable\n";
            continue;
        }
        listing << value.stored->type << ':';
        for (const std::uint8_t byte : value.stored->data) {
            listing << ' ' << static_cast<int>(byte);
        }
        listing << '\n';
    }
    for (const Tree& subkey : tree.subkeys) {
        List(subkey, Join(path, subkey.name), listing);
    }
}

} // namespace

Handle CurrentUser() {
    return RegistryApi::RootHandle(0x80000001u);
}

Key::Key(Handle parent, const std::string& path, Opening how) {
    switch (how) {
    case Opening::Open:
        status_ = RegistryApi::OpenKey(parent, path, key_);
        break;
    case Opening::Create:
        status_ = RegistryApi::CreateKey(parent, path, key_);
        break;
    case Opening::Itself:
        status_ = RegistryApi::OpenKeyItself(parent, path, RegistryApi::QueryAccess, key_);
        break;
    case Opening::ItselfToDelete:
        status_ = RegistryApi::OpenKeyItself(parent, path, RegistryApi::DeleteAccess, key_);
        break;
    }
}

Key::~Key() {
    if (ok() && !RegistryApi::IsPredefinedRoot(key_)) {
        RegistryApi::CloseKey(key_);
    }
}

std::string Ansi(std::u16string_view text) {
    const auto encoded = AnsiCodePage::ToAnsi(text);
    EXPECT_TRUE(encoded.exact) << "test text has no exact form in the ANSI code page";
    return encoded.bytes;
}

std::vector<std::u16string> Decoded(const std::vector<std::string>& names) {
    std::vector<std::u16string> decoded;
    for (const auto& name : names) {
        decoded.push_back(AnsiCodePage::FromAnsi(name));
    }
    return decoded;
}

std::string Join(const std::string& path, const std::string& name) {
    return path.empty() ? name : path + "\\" + name;
}

void DeleteTree(const std::string& path) {
    const auto split = LastSeparator(path);
    const Key parent(ParentOf(path, split));
    const std::string name = path.substr(split + 1);
    const auto deleteItself = [&parent, &name] {
        const Key itself(parent.get(), name, Opening::ItselfToDelete);
        return itself.ok() && RegistryApi::DeleteOpenKey(itself.get()) == RegistryApi::Success;
    };
    // A link, or an empty key, goes at once. A key with subkeys is listed
    // only where it is plainly no link, which a look-alike's value of another
    // type cannot make it.
    if (!parent.ok() || deleteItself()) {
        return;
    }
    if (const Key itself(parent.get(), name, Opening::Itself);
        !itself.ok() || LinkValueType(itself) == TypeLink) {
        return;
    }
    for (const std::string& subkey : SubkeyNames(path)) {
        DeleteTree(Join(path, subkey));
    }
    deleteItself();
}

bool IsLink(const std::string& path) {
    const auto split = LastSeparator(path);
    const Key parent(ParentOf(path, split));
    const Key itself(parent.get(), path.substr(split + 1), Opening::Itself);
    return parent.ok() && itself.ok() && HoldsLink(itself);
}

// Creates the last component relative to its parent: Wine's ANSI functions
// cannot take a whole path longer than 260 characters at once.
void CreateKey(const std::string& path) {
    const auto split = LastSeparator(path);
    const Key parent(ParentOf(path, split), Opening::Create);
    ASSERT_TRUE(parent.ok()) << "cannot create the parent of " << path;
    const Key key(parent.get(), path.substr(split + 1), Opening::Create);
    ASSERT_TRUE(key.ok()) << "cannot create " << path;
}

void SetValue(const std::string& path, const std::string& name, std::uint32_t type,
              const std::vector<std::uint8_t>& data) {
    const Key key(path, Opening::Create);
    ASSERT_TRUE(key.ok()) << "cannot create " << path;
    ASSERT_EQ(RegistryApi::SetValue(key.get(), name, type, data.data(),
                                    static_cast<std::uint32_t>(data.size())),
              RegistryApi::Success)
        << "cannot set " << path << " : " << name;
}

void SetString(const std::string& path, const std::string& name, const std::string& text) {
    std::vector<std::uint8_t> data(text.begin(), text.end());
    data.push_back(0);
    SetValue(path, name, RegistryApi::TypeString, data);
}

void DeleteValue(const std::string& path, const std::string& name) {
    const Key key(path);
    if (key.ok()) {
        RegistryApi::DeleteValue(key.get(), name);
    }
}

bool KeyExists(const std::string& path) {
    return Key(path).ok();
}

std::vector<std::string> Names(Handle key, EnumFunction enumerate) {
    std::vector<std::string> names;
    std::string buffer(1024, '\0');
    for (std::uint32_t index = 0;;) {
        auto size = static_cast<std::uint32_t>(buffer.size());
        const RegistryApi::Status status = enumerate(key, index, buffer.data(), size);
        if (status == RegistryApi::MoreData) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (status != RegistryApi::Success) {
            return names;
        }
        names.push_back(buffer.c_str());
        ++index;
    }
}

std::vector<std::string> ValueNames(const std::string& path) {
    const Key key(path);
    return key.ok() ? Names(key.get(), RegistryApi::EnumValue) : std::vector<std::string>{};
}

std::vector<std::string> SubkeyNames(const std::string& path) {
    const Key key(path);
    return key.ok() ? Names(key.get(), RegistryApi::EnumKey) : std::vector<std::string>{};
}

std::optional<StoredValue> ReadValue(const std::string& path, const std::string& name) {
    const Key key(path);
    return key.ok() ? ReadValue(key.get(), name) : std::nullopt;
}

Tree Read(Handle parent, const std::string& name) {
    Tree tree{name, {}, {}};
    const Key key(parent, name);
    if (!key.ok()) {
        return tree;
    }
    for (const std::string& valueName : Names(key.get(), RegistryApi::EnumValue)) {
        tree.values.push_back({valueName, ReadValue(key.get(), valueName)});
    }
    for (const std::string& subkey : Names(key.get(), RegistryApi::EnumKey)) {
        tree.subkeys.push_back(Read(key.get(), subkey));
    }
    return tree;
}

std::string Snapshot(const std::string& path) {
    return Listing(Read(CurrentUser(), path), path);
}

std::string Listing(const Tree& tree, const std::string& path) {
    std::ostringstream listing;
    List(tree, path, listing);
    return listing.str();
}

} // namespace TestRegistry
