#include "tests/e2e/UserRegistry.h"

#include "tests/e2e/KeyRemoval.h"
#include "tests/e2e/MessageBoxes.h"
#include "tests/support/ObjectNames.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include <algorithm>
#include <cstdio>
#include <memory>

namespace UserRegistry {
namespace {

constexpr wchar_t LinkValue[] = L"SymbolicLinkValue";

using KeyRemoval::IsLink;
using KeyRemoval::Key;
using KeyRemoval::Names;
using KeyRemoval::OpenItself;

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

// Appended piece by piece: GCC 12 warns falsely (-Wrestrict) on some
// chains of string operator+.
void AddHeading(const std::wstring& path, std::string& listing) {
    listing.append("[").append(MessageBoxes::Utf8(path)).append("]");
}

Value Read(HKEY key, const std::wstring& name) {
    Value value{name, REG_NONE, {}};
    DWORD size = 0;
    RegQueryValueExW(key, name.c_str(), nullptr, &value.type, nullptr, &size);
    value.data.resize(size);
    RegQueryValueExW(key, name.c_str(), nullptr, &value.type, value.data.data(), &size);
    value.data.resize(size);
    return value;
}

void List(HKEY key, const std::wstring& path, std::string& listing,
          const std::vector<std::wstring>& leftOut = {}) {
    AddHeading(path, listing);
    listing += '\n';
    for (const std::wstring& name : Names(key, false)) {
        const Value value = Read(key, name);
        listing.append("  \"").append(MessageBoxes::Utf8(name)).append("\" type ");
        listing.append(std::to_string(value.type)).append(":");
        for (const BYTE byte : value.data) {
            char hex[4];
            std::snprintf(hex, sizeof(hex), " %02x", byte);
            listing += hex;
        }
        listing += "\n";
    }
    for (const std::wstring& name : Names(key, true)) {
        if (std::any_of(leftOut.begin(), leftOut.end(), [&name](const std::wstring& out) {
                return _wcsicmp(out.c_str(), name.c_str()) == 0;
            })) {
            continue;
        }
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

// Copies the key `source`, opened as itself, to a new key `name` of
// `parent`: its values, then its subkeys likewise. A link is made a link
// again with the same value, so it stands for the same key, which is not
// read. A key already there is left alone, since it may be a link too.
void CopyItself(HKEY source, HKEY parent, const std::wstring& name, const std::wstring& path) {
    const bool link = IsLink(source);
    HKEY created = nullptr;
    DWORD disposition = 0;
    const LSTATUS status = RegCreateKeyExW(
        parent, name.c_str(), 0, nullptr, link ? REG_OPTION_CREATE_LINK : 0,
        KEY_ALL_ACCESS | (link ? KEY_CREATE_LINK : 0), nullptr, &created, &disposition);
    if (status != ERROR_SUCCESS) {
        ADD_FAILURE() << "cannot copy to " << MessageBoxes::Utf8(path) << ": status " << status;
        return;
    }
    const Key target(created);
    if (disposition != REG_CREATED_NEW_KEY) {
        ADD_FAILURE() << "cannot copy to " << MessageBoxes::Utf8(path) << ": it is there already";
        return;
    }
    for (const std::wstring& valueName : Names(source, false)) {
        const Value value = Read(source, valueName);
        EXPECT_EQ(RegSetValueExW(target.get(), value.name.c_str(), 0, value.type, value.data.data(),
                                 static_cast<DWORD>(value.data.size())),
                  ERROR_SUCCESS)
            << "cannot copy " << MessageBoxes::Utf8(value.name) << " to "
            << MessageBoxes::Utf8(path);
    }
    for (const std::wstring& subkey : Names(source, true)) {
        const Key child = OpenItself(source, subkey, KEY_READ);
        if (!child) {
            ADD_FAILURE() << "cannot read " << MessageBoxes::Utf8(subkey);
            continue;
        }
        CopyItself(child.get(), target.get(), subkey, path + L"\\" + subkey);
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

void Link(const std::wstring& path, const std::wstring& target) {
    const std::size_t split = path.rfind(L'\\');
    ASSERT_NE(split, std::wstring::npos);
    const std::wstring user = CurrentUserObjectName();
    ASSERT_FALSE(user.empty()) << "cannot tell the name of HKEY_CURRENT_USER";
    const std::wstring targetName = user + L"\\" + target;
    const Key parent = CreateAll(path.substr(0, split));
    ASSERT_TRUE(parent);
    HKEY created = nullptr;
    ASSERT_EQ(RegCreateKeyExW(parent.get(), path.substr(split + 1).c_str(), 0, nullptr,
                              REG_OPTION_CREATE_LINK, KEY_ALL_ACCESS | KEY_CREATE_LINK, nullptr,
                              &created, nullptr),
              ERROR_SUCCESS)
        << "cannot create the link " << MessageBoxes::Utf8(path);
    const Key link(created);
    // The target's name without a terminating NUL, as links hold it.
    EXPECT_EQ(RegSetValueExW(link.get(), LinkValue, 0, REG_LINK,
                             reinterpret_cast<const BYTE*>(targetName.data()),
                             static_cast<DWORD>(targetName.size() * sizeof(wchar_t))),
              ERROR_SUCCESS)
        << "cannot point the link " << MessageBoxes::Utf8(path);
    // Otherwise a case could pass without a link ever being followed.
    const Key reached = Open(path);
    ASSERT_TRUE(reached) << MessageBoxes::Utf8(path) << " leads nowhere";
    EXPECT_EQ(_wcsicmp(ObjectName(reached.get()).c_str(), targetName.c_str()), 0)
        << MessageBoxes::Utf8(path) << " leads to " << MessageBoxes::Utf8(ObjectName(reached.get()))
        << " instead of " << MessageBoxes::Utf8(targetName);
}

void Withhold(const std::wstring& path, DWORD rights) {
    const Key key = OpenItself(HKEY_CURRENT_USER, path, WRITE_DAC);
    ASSERT_TRUE(key) << "cannot change the rights on " << MessageBoxes::Utf8(path);
    // Protected, so that nothing inherited grants them again.
    wchar_t descriptor[64];
    std::swprintf(descriptor, std::size(descriptor), L"D:P(A;;0x%lx;;;WD)",
                  static_cast<unsigned long>(KEY_ALL_ACCESS & ~rights));
    PSECURITY_DESCRIPTOR security = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(descriptor, SDDL_REVISION_1,
                                                                     &security, nullptr));
    EXPECT_EQ(RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, security), ERROR_SUCCESS)
        << "cannot change the rights on " << MessageBoxes::Utf8(path);
    LocalFree(security);
}

bool Exists(const std::wstring& path) {
    return OpenItself(HKEY_CURRENT_USER, path, KEY_QUERY_VALUE) != nullptr;
}

bool IsEmpty(const std::wstring& path) {
    const Key key = Open(path);
    return key && Names(key.get(), false).empty() && Names(key.get(), true).empty();
}

// RegDeleteTreeW and RegCopyTreeW would follow a link: they go key by key
// here, each opened as itself.
void Remove(const std::wstring& path) {
    LSTATUS status = ERROR_SUCCESS;
    const Key key = KeyRemoval::OpenToRemove(HKEY_CURRENT_USER, path, &status);
    if (status == ERROR_FILE_NOT_FOUND) {
        return;
    }
    ASSERT_TRUE(key) << "cannot remove " << MessageBoxes::Utf8(path) << ": status " << status;
    const std::wstring failed = KeyRemoval::RemoveTree(key.get(), path);
    EXPECT_TRUE(failed.empty()) << MessageBoxes::Utf8(failed);
}

void Copy(const std::wstring& from, const std::wstring& to) {
    const std::size_t split = to.rfind(L'\\');
    ASSERT_NE(split, std::wstring::npos);
    const Key source = OpenItself(HKEY_CURRENT_USER, from, KEY_READ);
    const Key parent = CreateAll(to.substr(0, split));
    ASSERT_TRUE(source && parent) << "cannot copy " << MessageBoxes::Utf8(from);
    CopyItself(source.get(), parent.get(), to.substr(split + 1), to);
}

std::string Listing(const std::wstring& path, const std::vector<std::wstring>& leftOut) {
    const Key key = Open(path);
    if (!key) {
        return "<missing>";
    }
    std::string listing;
    List(key.get(), path, listing, leftOut);
    return listing;
}

} // namespace UserRegistry
