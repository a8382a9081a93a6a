#include "registry/cRegistory.h"

#include "platform/AnsiCodePage.h"
#include "registry/RegistryApi.h"

#include <algorithm>
#include <array>
#include <limits>

namespace {

using RegistryApi::Handle;
using RegistryApi::Status;

// The first enumeration call uses this buffer; longer names grow it.
constexpr std::uint32_t FirstNameCapacity = 80;
// The registry's own name limits in characters. Each UTF-16 unit takes at
// most three bytes in any ANSI code page Windows offers (UTF-8 included).
constexpr std::uint32_t MaxKeyNameChars = 256; // documented as 255; the registry takes 256
constexpr std::uint32_t MaxValueNameChars = 16383;
constexpr std::uint32_t MaxNameBytes(std::uint32_t chars) {
    return chars * 3 + 1;
}

constexpr std::uint32_t ReadCapacity = 4096;

// Owns one open key. Predefined roots are handed out by the platform for an
// empty path and are never closed by us.
class KeyGuard {
public:
    explicit KeyGuard(Handle key) : key_(key) {}
    KeyGuard(KeyGuard&& other) noexcept : key_(std::exchange(other.key_, std::nullopt)) {}
    KeyGuard& operator=(KeyGuard&&) = delete;
    KeyGuard(const KeyGuard&) = delete;
    KeyGuard& operator=(const KeyGuard&) = delete;
    ~KeyGuard() {
        if (key_ && !RegistryApi::IsPredefinedRoot(*key_)) {
            RegistryApi::CloseKey(*key_);
        }
    }
    Handle get() const { return *key_; }

private:
    std::optional<Handle> key_;
};

Handle Root(RootKey root) {
    return RegistryApi::RootHandle(static_cast<std::uint32_t>(root));
}

// The code-page bytes for a path or name, or nullopt when the platform would
// be handed something else: a text cut at an embedded NUL, or one the code
// page alters (best fit, default character). Such a text addresses nothing.
std::optional<std::string> Unaltered(std::u16string_view text) {
    auto encoded = AnsiCodePage::ToAnsi(text);
    if (!encoded.exact || encoded.bytes.find('\0') != std::string::npos) {
        return std::nullopt;
    }
    return std::move(encoded.bytes);
}

// What an operation hands the platform: the path and the value or subkey
// name, as code-page bytes.
struct Address {
    std::string path;
    std::string name;
};

// The one check every member makes before it reaches the platform. A usable
// path is rewritten in `subKey` as it reads back through the code page; an
// unusable path or name leaves it as the caller set it, so that no later
// call can reach the key an altered path would have named.
std::optional<Address> RoundTripAndAddress(std::u16string& subKey, std::u16string_view name = {}) {
    auto encodedName = Unaltered(name);
    auto path = Unaltered(subKey);
    if (!encodedName || !path) {
        return std::nullopt;
    }
    subKey = AnsiCodePage::FromAnsi(*path);
    return Address{std::move(*path), std::move(*encodedName)};
}

// Opens the addressed key; an address that names nothing opens nothing.
std::optional<KeyGuard> Open(RootKey root, const std::optional<Address>& at) {
    Handle key{};
    if (!at || RegistryApi::OpenKey(Root(root), at->path, key) != RegistryApi::Success) {
        return std::nullopt;
    }
    return KeyGuard(key);
}

// The name the platform gives the key `path` of `root` where nothing on the
// way is a link or redirected: the name of its first component, opened as
// itself, followed by the rest of the path as the platform reads it, its
// doubled and trailing separators skipped. nullopt when it cannot be told.
std::optional<std::u16string> NameOfNamedKey(RootKey root, std::u16string_view path) {
    const auto from = path.find_first_not_of(u'\\');
    if (from == std::u16string_view::npos) {
        return std::nullopt;
    }
    path.remove_prefix(from);
    const auto first = path.substr(0, path.find(u'\\'));
    Handle key{};
    if (RegistryApi::OpenKeyItself(Root(root), AnsiCodePage::ToAnsi(first).bytes,
                                   RegistryApi::NameAccess, key) != RegistryApi::Success) {
        return std::nullopt;
    }
    const KeyGuard guard(key);
    std::u16string name;
    if (RegistryApi::KeyName(key, name) != RegistryApi::Success) {
        return std::nullopt;
    }
    for (std::size_t at = first.size(); at < path.size(); ++at) {
        if (path[at] != u'\\' || (at + 1 < path.size() && path[at + 1] != u'\\')) {
            name.push_back(path[at]);
        }
    }
    return name;
}

// Whether the open `key` is the very key that `path` of `root` names, not
// one that a link or a redirection on the way put in its place.
bool IsNamedKey(RootKey root, std::u16string_view path, Handle key) {
    const auto expected = NameOfNamedKey(root, path);
    std::u16string name;
    return expected && RegistryApi::KeyName(key, name) == RegistryApi::Success &&
           RegistryApi::SameKeyName(name, *expected);
}

// The path of the subkey `name` of the addressed key.
std::u16string Below(const std::u16string& subKey, const std::u16string& name) {
    return subKey + u'\\' + name;
}

std::string_view UpToFirstNul(std::string_view bytes) {
    return bytes.substr(0, bytes.find('\0'));
}

using EnumFunction = Status (*)(Handle, std::uint32_t, char*, std::uint32_t);

// Reads the index-th name, growing the buffer while the platform says it is
// too small. Any other failure, or a name beyond the registry's limit, ends
// the listing.
std::optional<std::string> ReadName(EnumFunction enumerate, Handle key, std::uint32_t index,
                                    std::uint32_t maxBytes) {
    std::string buffer;
    for (std::uint32_t capacity = FirstNameCapacity;; capacity = std::min(capacity * 2, maxBytes)) {
        buffer.assign(capacity, ' ');
        const Status status = enumerate(key, index, buffer.data(), capacity);
        if (status == RegistryApi::Success) {
            return std::string(UpToFirstNul(buffer));
        }
        if (status != RegistryApi::MoreData || capacity >= maxBytes) {
            return std::nullopt;
        }
    }
}

std::int32_t EnumNames(RootKey root, std::u16string& subKey, std::vector<std::u16string>& names,
                       EnumFunction enumerate, std::uint32_t maxBytes) {
    const auto key = Open(root, RoundTripAndAddress(subKey));
    if (!key) {
        return 0;
    }
    std::uint32_t index = 0;
    for (; index < static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max()); ++index) {
        const auto name = ReadName(enumerate, key->get(), index, maxBytes);
        if (!name) {
            break;
        }
        names.resize(index + 1);
        names[index] = AnsiCodePage::FromAnsi(*name);
    }
    return static_cast<std::int32_t>(index);
}

// The key a writer writes to, created with every missing key above it, and
// the value's name in the code page. Nothing is created for an address that
// names nothing.
struct WriteTarget {
    KeyGuard key;
    std::string name;
};

std::optional<WriteTarget> CreateForWrite(RootKey root, std::u16string& subKey,
                                          const std::u16string& name) {
    auto at = RoundTripAndAddress(subKey, name);
    Handle key{};
    if (!at || RegistryApi::CreateKey(Root(root), at->path, key) != RegistryApi::Success) {
        return std::nullopt;
    }
    return WriteTarget{KeyGuard(key), std::move(at->name)};
}

bool Write(const std::optional<WriteTarget>& target, std::uint32_t type, const std::uint8_t* data,
           std::uint32_t size) {
    return target && RegistryApi::SetValue(target->key.get(), target->name, type, data, size) ==
                         RegistryApi::Success;
}

bool IsSpace(char16_t c) {
    return c == u' ';
}

std::optional<std::int32_t> ParseWholeNumber(std::u16string_view text) {
    while (!text.empty() && IsSpace(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsSpace(text.back())) {
        text.remove_suffix(1);
    }
    bool negative = false;
    if (!text.empty() && (text.front() == u'+' || text.front() == u'-')) {
        negative = text.front() == u'-';
        text.remove_prefix(1);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    std::int64_t magnitude = 0;
    for (const char16_t c : text) {
        if (c < u'0' || c > u'9') {
            return std::nullopt;
        }
        magnitude = magnitude * 10 + (c - u'0');
        if (magnitude > std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1) {
            return std::nullopt;
        }
    }
    const std::int64_t value = negative ? -magnitude : magnitude;
    if (!std::in_range<std::int32_t>(value)) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(value);
}

} // namespace

ValueLength::ValueLength(std::u16string_view text) : converted_(ParseWholeNumber(text)) {}

ValueLength::ValueLength(const char16_t* text)
    : converted_(text ? ParseWholeNumber(text) : std::nullopt) {}

void cRegistory::RegKey(RootKey enmNewValue) {
    rootKey_ = enmNewValue;
}

RootKey cRegistory::RegKey() const {
    return rootKey_;
}

void cRegistory::SubKey(const std::u16string& strNewValue) {
    subKey_ = strNewValue;
}

std::u16string cRegistory::SubKey() const {
    return subKey_;
}

bool cRegistory::IsThereKey() {
    return Open(rootKey_, RoundTripAndAddress(subKey_)).has_value();
}

std::int32_t cRegistory::EnumValueName(std::vector<std::u16string>& strlpEnumValueName) {
    return EnumNames(rootKey_, subKey_, strlpEnumValueName, RegistryApi::EnumValue,
                     MaxNameBytes(MaxValueNameChars));
}

std::int32_t cRegistory::EnumSubKey(std::vector<std::u16string>& strlpEnumKey) {
    return EnumNames(rootKey_, subKey_, strlpEnumKey, RegistryApi::EnumKey,
                     MaxNameBytes(MaxKeyNameChars));
}

bool cRegistory::DeleteSubKey(const std::u16string& strSubKey) {
    // The subkey is deleted through a handle of its own, opened as itself
    // from the addressed key and proven to be the key named: a link goes as
    // the link, and a key swapped after the open is not the one deleted. An
    // empty name would open the addressed key itself.
    if (strSubKey.empty()) {
        return false;
    }
    const auto at = RoundTripAndAddress(subKey_, strSubKey);
    const auto parent = Open(rootKey_, at);
    Handle subkey{};
    if (!parent || RegistryApi::OpenKeyItself(parent->get(), at->name, RegistryApi::DeleteAccess,
                                              subkey) != RegistryApi::Success) {
        return false;
    }
    const KeyGuard guard(subkey);
    return IsNamedKey(rootKey_, Below(subKey_, strSubKey), subkey) &&
           RegistryApi::DeleteOpenKey(subkey) == RegistryApi::Success;
}

bool cRegistory::DeleteValueName(const std::u16string& strValueName) {
    // Only from the key the path names: where a link or a redirection led
    // elsewhere, the value is not this key's to delete. The root itself is
    // reached through nothing.
    const auto at = RoundTripAndAddress(subKey_, strValueName);
    const auto key = Open(rootKey_, at);
    return key &&
           (RegistryApi::IsPredefinedRoot(key->get()) ||
            IsNamedKey(rootKey_, subKey_, key->get())) &&
           RegistryApi::DeleteValue(key->get(), at->name) == RegistryApi::Success;
}

std::u16string cRegistory::GetString(const std::u16string& strValueName,
                                     const std::u16string& strDefault) {
    const auto at = RoundTripAndAddress(subKey_, strValueName);
    const auto key = Open(rootKey_, at);
    if (!key) {
        return strDefault;
    }
    std::array<char, ReadCapacity> buffer{};
    std::uint32_t type = RegistryApi::TypeString;
    std::uint32_t size = ReadCapacity;
    if (RegistryApi::QueryValue(key->get(), at->name, type,
                                reinterpret_cast<std::uint8_t*>(buffer.data()),
                                size) != RegistryApi::Success) {
        return strDefault;
    }
    // Data stored without a NUL end where the platform says they end.
    const std::string_view returned(buffer.data(), std::min(size, ReadCapacity));
    return AnsiCodePage::FromAnsi(UpToFirstNul(returned));
}

bool cRegistory::SetString(const std::u16string& strValueName, const std::u16string& strNewValue) {
    const auto text = Unaltered(strNewValue);
    if (!text || text->size() >= std::numeric_limits<std::uint32_t>::max()) {
        return false;
    }
    const std::string data = *text + '\0';
    return Write(CreateForWrite(rootKey_, subKey_, strValueName), RegistryApi::TypeString,
                 reinterpret_cast<const std::uint8_t*>(data.data()),
                 static_cast<std::uint32_t>(data.size()));
}

std::int32_t cRegistory::GetDWORD(const std::u16string& strValueName, std::int32_t lngDefault) {
    const auto at = RoundTripAndAddress(subKey_, strValueName);
    const auto key = Open(rootKey_, at);
    if (!key) {
        return lngDefault;
    }
    std::array<std::uint8_t, 4> bytes{};
    std::uint32_t type = RegistryApi::TypeDword;
    std::uint32_t size = static_cast<std::uint32_t>(bytes.size());
    if (RegistryApi::QueryValue(key->get(), at->name, type, bytes.data(), size) !=
        RegistryApi::Success) {
        return lngDefault;
    }
    const std::uint32_t number = bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) |
                                 (static_cast<std::uint32_t>(bytes[3]) << 24);
    return static_cast<std::int32_t>(number);
}

bool cRegistory::SetDWORD(const std::u16string& strValueName, std::int32_t lngNewValue) {
    const auto number = static_cast<std::uint32_t>(lngNewValue);
    const std::array<std::uint8_t, 4> bytes{
        static_cast<std::uint8_t>(number), static_cast<std::uint8_t>(number >> 8),
        static_cast<std::uint8_t>(number >> 16), static_cast<std::uint8_t>(number >> 24)};
    return Write(CreateForWrite(rootKey_, subKey_, strValueName), RegistryApi::TypeDword,
                 bytes.data(), static_cast<std::uint32_t>(bytes.size()));
}

std::int32_t cRegistory::GetBinary(const std::u16string& strValueName,
                                   std::vector<std::uint8_t>& bytValue) {
    const auto at = RoundTripAndAddress(subKey_, strValueName);
    if (!at && Unaltered(subKey_)) {
        // A name that names no value in a key that is addressed: as for a
        // missing value, the list is emptied.
        bytValue.clear();
        return 0;
    }
    const auto key = Open(rootKey_, at);
    if (!key) {
        // No key reached, missing or not addressable: the list stays.
        return 0;
    }
    bytValue.assign(ReadCapacity + 1, 0);
    std::uint32_t type = RegistryApi::TypeBinary;
    std::uint32_t size = ReadCapacity;
    if (RegistryApi::QueryValue(key->get(), at->name, type, bytValue.data(), size) !=
        RegistryApi::Success) {
        bytValue.clear();
        return 0;
    }
    size = std::min(size, ReadCapacity);
    bytValue.resize(size);
    return static_cast<std::int32_t>(size);
}

bool cRegistory::SetBinary(const std::u16string& strValueName,
                           const std::vector<std::uint8_t>& bytValue, ValueLength lngValueLen) {
    // The key is created even when the length is refused, as callers of the
    // create-then-write order have always seen.
    const auto target = CreateForWrite(rootKey_, subKey_, strValueName);
    const auto length = lngValueLen.ToInt32();
    if (!target || bytValue.empty() || !length || *length < 0 ||
        static_cast<std::size_t>(*length) > bytValue.size()) {
        return false;
    }
    return Write(target, RegistryApi::TypeBinary, bytValue.data(),
                 static_cast<std::uint32_t>(*length));
}

LinkTest cRegistory::IsLinkKey(const std::u16string& strSubKey) {
    // The subkey is opened as itself straight from the root, so that no
    // right on its parent is needed, and with no more right than reading
    // its link value. Anything the platform refuses, and a key that is not
    // the one named, cannot be told; only a subkey that is not there is no
    // link.
    const auto at = RoundTripAndAddress(subKey_, strSubKey);
    if (strSubKey.empty() || !at) {
        return LinkTest::CannotTell;
    }
    Handle subkey{};
    const Status opened = RegistryApi::OpenKeyItself(
        Root(rootKey_), at->path.empty() ? at->name : at->path + '\\' + at->name,
        RegistryApi::QueryAccess, subkey);
    if (opened != RegistryApi::Success) {
        return opened == RegistryApi::FileNotFound ? LinkTest::NotALink : LinkTest::CannotTell;
    }
    const KeyGuard guard(subkey);
    if (!IsNamedKey(rootKey_, Below(subKey_, strSubKey), subkey)) {
        return LinkTest::CannotTell;
    }
    // A key that merely holds a value of the link's name is taken for a link
    // too: it is then deleted as itself, or not at all if it has subkeys.
    std::uint32_t type = 0;
    std::uint32_t size = 0;
    const Status query =
        RegistryApi::QueryValue(subkey, RegistryApi::LinkValueName, type, nullptr, size);
    if (query == RegistryApi::Success) {
        return LinkTest::Link;
    }
    return query == RegistryApi::FileNotFound ? LinkTest::NotALink : LinkTest::CannotTell;
}
