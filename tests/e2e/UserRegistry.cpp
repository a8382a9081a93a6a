#include "tests/e2e/UserRegistry.h"

#include "tests/e2e/MessageBoxes.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <type_traits>

namespace UserRegistry {
namespace {

struct KeyCloser {
    void operator()(HKEY key) const { RegCloseKey(key); }
};
using Key = std::unique_ptr<std::remove_pointer_t<HKEY>, KeyCloser>;

Key Open(const std::wstring& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) {
        return nullptr;
    }
    return Key(key);
}

Key CreateAll(const std::wstring& path) {
    HKEY parent = HKEY_CURRENT_USER;
    Key current;
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find(L'\\', start), path.size());
        const std::wstring component = path.substr(start, end - start);
        HKEY created = nullptr;
        const LSTATUS status = RegCreateKeyExW(parent, component.c_str(), 0, nullptr, 0,
                                               KEY_ALL_ACCESS, nullptr, &created, nullptr);
        if (status != ERROR_SUCCESS) {
            ADD_FAILURE() << "cannot create " << MessageBoxes::Utf8(path) << ": status " << status;
            return nullptr;
        }
        current.reset(created);
        parent = created;
        start = end + 1;
    }
    return current;
}

std::vector<std::wstring> Names(HKEY key, bool subkeys) {
    std::vector<std::wstring> names;
    for (DWORD index = 0;; ++index) {
        wchar_t name[16384];
        DWORD length = static_cast<DWORD>(std::size(name));
        const LSTATUS status =
            subkeys ? RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr)
                    : RegEnumValueW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (status != ERROR_SUCCESS) {
            break;
        }
        names.emplace_back(name, length);
    }
    return names;
}

// Appended piece by piece: GCC 12 warns falsely (-Wrestrict) on some
// chains of string operator+.
void AddHeading(const std::wstring& path, std::string& listing) {
    listing.append("[").append(MessageBoxes::Utf8(path)).append("]");
}

void List(HKEY key, const std::wstring& path, std::string& listing) {
    AddHeading(path, listing);
    listing += '\n';
    for (const std::wstring& name : Names(key, false)) {
        DWORD type = 0;
        DWORD size = 0;
        RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &size);
        std::vector<BYTE> data(size);
        RegQueryValueExW(key, name.c_str(), nullptr, &type, data.data(), &size);
        listing.append("  \"").append(MessageBoxes::Utf8(name)).append("\" type ");
        listing.append(std::to_string(type)).append(":");
        for (DWORD i = 0; i < size; ++i) {
            char hex[4];
            std::snprintf(hex, sizeof(hex), " %02x", data[i]);
            listing += hex;
        }
        listing += "\n";
    }
    for (const std::wstring& name : Names(key, true)) {
        HKEY child = nullptr;
        if (RegOpenKeyExW(key, name.c_str(), 0, KEY_READ, &child) != ERROR_SUCCESS) {
            AddHeading(path + L"\\" + name, listing);
            listing += " unreadable\n";
            continue;
        }
        const Key owned(child);
        List(child, path + L"\\" + name, listing);
    }
}

} // namespace

Value Text(std::wstring name, std::wstring_view text) {
    Value value{std::move(name), REG_SZ, {}};
    const auto* bytes = reinterpret_cast<const BYTE*>(text.data());
    value.data.assign(bytes, bytes + text.size() * sizeof(wchar_t));
    value.data.insert(value.data.end(), sizeof(wchar_t), 0);
    return value;
}

Value Number(std::wstring name, DWORD number) {
    const auto* bytes = reinterpret_cast<const BYTE*>(&number);
    return Value{std::move(name), REG_DWORD, std::vector<BYTE>(bytes, bytes + sizeof(number))};
}

Value Bytes(std::wstring name, std::vector<BYTE> bytes) {
    return Value{std::move(name), REG_BINARY, std::move(bytes)};
}

void Put(const std::wstring& path, const std::vector<Value>& values) {
    const Key key = CreateAll(path);
    if (!key) {
        return;
    }
    for (const Value& value : values) {
        const LSTATUS status =
            RegSetValueExW(key.get(), value.name.c_str(), 0, value.type, value.data.data(),
                           static_cast<DWORD>(value.data.size()));
        EXPECT_EQ(status, ERROR_SUCCESS) << "cannot set " << MessageBoxes::Utf8(value.name);
    }
}

bool Exists(const std::wstring& path) {
    return Open(path) != nullptr;
}

bool IsEmpty(const std::wstring& path) {
    const Key key = Open(path);
    return key && Names(key.get(), false).empty() && Names(key.get(), true).empty();
}

void Remove(const std::wstring& path) {
    const LSTATUS status = RegDeleteTreeW(HKEY_CURRENT_USER, path.c_str());
    EXPECT_TRUE(status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND)
        << "cannot remove " << MessageBoxes::Utf8(path) << ": status " << status;
}

void Copy(const std::wstring& from, const std::wstring& to) {
    const Key source = Open(from);
    const Key target = CreateAll(to);
    ASSERT_TRUE(source && target) << "cannot copy " << MessageBoxes::Utf8(from);
    EXPECT_EQ(RegCopyTreeW(source.get(), nullptr, target.get()), ERROR_SUCCESS)
        << "cannot copy " << MessageBoxes::Utf8(from);
}

std::string Listing(const std::wstring& path) {
    const Key key = Open(path);
    if (!key) {
        return "<missing>";
    }
    std::string listing;
    List(key.get(), path, listing);
    return listing;
}

} // namespace UserRegistry
