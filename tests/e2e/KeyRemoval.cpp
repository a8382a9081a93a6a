#include "tests/e2e/KeyRemoval.h"

#include <aclapi.h>
#include <winternl.h>

#include <algorithm>
#include <iterator>

// ntdll's deletion of the key of an open handle, which for a link opened as
// itself is the link and never the key it points to.
extern "C" NTSTATUS NTAPI NtDeleteKey(HANDLE key);

namespace KeyRemoval {
namespace {

constexpr REGSAM RemovalAccess = DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE;

struct LocalFreer {
    void operator()(void* memory) const { LocalFree(memory); }
};

// Gives the current user, who owns the key, full access to it and nobody
// else any: an owner may always change the access list.
bool GrantFullAccess(HKEY parent, const std::wstring& name) {
    const Key key = OpenItself(parent, name, WRITE_DAC);
    HANDLE token = nullptr;
    if (!key || !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return false;
    }
    std::vector<BYTE> user(512);
    DWORD size = 0;
    const bool known =
        GetTokenInformation(token, TokenUser, user.data(), static_cast<DWORD>(user.size()), &size);
    CloseHandle(token);
    if (!known) {
        return false;
    }
    EXPLICIT_ACCESSW access{};
    access.grfAccessPermissions = KEY_ALL_ACCESS;
    access.grfAccessMode = SET_ACCESS;
    access.grfInheritance = NO_INHERITANCE;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.TrusteeType = TRUSTEE_IS_USER;
    access.Trustee.ptstrName =
        static_cast<LPWSTR>(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid);
    PACL acl = nullptr;
    if (SetEntriesInAclW(1, &access, nullptr, &acl) != ERROR_SUCCESS) {
        return false;
    }
    const std::unique_ptr<ACL, LocalFreer> owned(acl);
    return SetSecurityInfo(key.get(), SE_REGISTRY_KEY,
                           DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                           nullptr, acl, nullptr) == ERROR_SUCCESS;
}

} // namespace

Key OpenItself(HKEY parent, const std::wstring& name, REGSAM access, LSTATUS* status) {
    HKEY key = nullptr;
    const LSTATUS opened = RegOpenKeyExW(parent, name.c_str(), REG_OPTION_OPEN_LINK, access, &key);
    if (status) {
        *status = opened;
    }
    return opened == ERROR_SUCCESS ? Key(key) : nullptr;
}

Key OpenToRemove(HKEY parent, const std::wstring& name, LSTATUS* status) {
    LSTATUS opened = ERROR_SUCCESS;
    Key key = OpenItself(parent, name, RemovalAccess, &opened);
    if (!key && opened == ERROR_ACCESS_DENIED && GrantFullAccess(parent, name)) {
        key = OpenItself(parent, name, RemovalAccess, &opened);
    }
    if (status) {
        *status = opened;
    }
    return key;
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

bool IsLink(HKEY itself) {
    DWORD type = REG_NONE;
    DWORD size = 0;
    return RegQueryValueExW(itself, L"SymbolicLinkValue", nullptr, &type, nullptr, &size) ==
               ERROR_SUCCESS &&
           type == REG_LINK;
}

std::optional<std::uint64_t> LatestWrite(HKEY key) {
    FILETIME written{};
    if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                         nullptr, nullptr, nullptr, &written) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    std::uint64_t latest = (std::uint64_t{written.dwHighDateTime} << 32) | written.dwLowDateTime;
    for (const std::wstring& name : Names(key, true)) {
        const Key child = OpenToRemove(key, name);
        const std::optional<std::uint64_t> below = child ? LatestWrite(child.get()) : std::nullopt;
        if (!below) {
            return std::nullopt;
        }
        latest = std::max(latest, *below);
    }
    return latest;
}

std::wstring RemoveTree(HKEY key, const std::wstring& path) {
    for (const std::wstring& name : Names(key, true)) {
        LSTATUS status = ERROR_SUCCESS;
        const Key child = OpenToRemove(key, name, &status);
        if (!child) {
            return L"cannot open " + path + L"\\" + name + L": status " + std::to_wstring(status);
        }
        if (std::wstring failed = RemoveTree(child.get(), path + L"\\" + name); !failed.empty()) {
            return failed;
        }
    }
    const NTSTATUS status = NtDeleteKey(key);
    if (!NT_SUCCESS(status)) {
        return L"cannot delete " + path + L": NTSTATUS " +
               std::to_wstring(static_cast<unsigned long>(status));
    }
    return {};
}

} // namespace KeyRemoval
