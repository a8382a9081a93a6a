#include "tests/support/TestRegistry.h"

#include "platform/AnsiCodePage.h"

#include <gtest/gtest.h>

#include <sstream>
#include <utility>

namespace TestRegistry {
namespace {

using RegistryApi::Handle;

class OpenKey {
public:
    explicit OpenKey(const std::string& path, bool create = false) {
        status_ = create ? RegistryApi::CreateKey(CurrentUser(), path, key_)
                         : RegistryApi::OpenKey(CurrentUser(), path, key_);
    }
    OpenKey(const OpenKey&) = delete;
    OpenKey& operator=(const OpenKey&) = delete;
    ~OpenKey() {
        if (ok() && !RegistryApi::IsPredefinedRoot(key_)) {
            RegistryApi::CloseKey(key_);
        }
    }
    bool ok() const { return status_ == RegistryApi::Success; }
    RegistryApi::Status status() const { return status_; }
    Handle get() const { return key_; }

private:
    Handle key_{};
    RegistryApi::Status status_ = -1;
};

using EnumFunction = RegistryApi::Status (*)(Handle, std::uint32_t, char*, std::uint32_t&);

std::vector<std::string> Names(const std::string& path, EnumFunction enumerate) {
    std::vector<std::string> names;
    const OpenKey key(path);
    if (!key.ok()) {
        return names;
    }
    for (std::uint32_t index = 0;; ++index) {
        std::string buffer(65536, '\0');
        std::uint32_t size = static_cast<std::uint32_t>(buffer.size());
        if (enumerate(key.get(), index, buffer.data(), size) != RegistryApi::Success) {
            break;
        }
        names.push_back(buffer.substr(0, size));
    }
    return names;
}

std::string Join(const std::string& path, const std::string& name) {
    return path.empty() ? name : path + "\\" + name;
}

// Where the last separator character is: in a double-byte code page the
// second byte of a character (ソ, 表) may be the separator's byte.
std::size_t LastSeparator(const std::string& path) {
    const std::u16string text = AnsiCodePage::FromAnsi(path);
    const auto split = text.rfind(u'\\');
    return split == std::u16string::npos ? std::string::npos
                                         : AnsiCodePage::ToAnsi(text.substr(0, split)).bytes.size();
}

} // namespace

Handle CurrentUser() {
    return RegistryApi::RootHandle(0x80000001u);
}

std::string Ansi(std::u16string_view text) {
    const auto encoded = AnsiCodePage::ToAnsi(text);
    EXPECT_TRUE(encoded.exact) << "test text has no exact form in the ANSI code page";
    return encoded.bytes;
}

void DeleteTree(const std::string& path) {
    for (const std::string& subkey : SubkeyNames(path)) {
        DeleteTree(Join(path, subkey));
    }
    const auto split = LastSeparator(path);
    const OpenKey parent(split == std::string::npos ? std::string() : path.substr(0, split));
    if (parent.ok()) {
        RegistryApi::DeleteKey(parent.get(), path.substr(split + 1));
    }
}

// Creates the last component relative to its parent: Wine's ANSI functions
// cannot take a whole path longer than 260 characters at once.
void CreateKey(const std::string& path) {
    const auto split = LastSeparator(path);
    const OpenKey parent(split == std::string::npos ? std::string() : path.substr(0, split), true);
    ASSERT_TRUE(parent.ok()) << "cannot create the parent of " << path;
    Handle key{};
    const auto status = RegistryApi::CreateKey(parent.get(), path.substr(split + 1), key);
    ASSERT_EQ(status, RegistryApi::Success) << "cannot create " << path;
    RegistryApi::CloseKey(key);
}

void SetValue(const std::string& path, const std::string& name, std::uint32_t type,
              const std::vector<std::uint8_t>& data) {
    const OpenKey key(path, true);
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

bool KeyExists(const std::string& path) {
    return OpenKey(path).ok();
}

std::vector<std::string> ValueNames(const std::string& path) {
    return Names(path, RegistryApi::EnumValue);
}

std::vector<std::string> SubkeyNames(const std::string& path) {
    return Names(path, RegistryApi::EnumKey);
}

std::optional<StoredValue> ReadValue(const std::string& path, const std::string& name) {
    const OpenKey key(path);
    if (!key.ok()) {
        return std::nullopt;
    }
    StoredValue value;
    value.data.resize(1 << 20);
    std::uint32_t size = static_cast<std::uint32_t>(value.data.size());
    if (RegistryApi::QueryValue(key.get(), name, value.type, value.data.data(), size) !=
        RegistryApi::Success) {
        return std::nullopt;
    }
    value.data.resize(size);
    return value;
}

std::string Snapshot(const std::string& path) {
    std::ostringstream listing;
    listing << '[' << path << "]\n";
    for (const std::string& name : ValueNames(path)) {
        listing << "  \"" << name << "\" ";
        const auto value = ReadValue(path, name);
        if (!value) {
            listing << "unreadable\n";
            continue;
        }
        listing << value->type << ':';
        for (const std::uint8_t byte : value->data) {
            listing << ' ' << static_cast<int>(byte);
        }
        listing << '\n';
    }
    for (const std::string& subkey : SubkeyNames(path)) {
        listing << Snapshot(Join(path, subkey));
    }
    return listing.str();
}

} // namespace TestRegistry
