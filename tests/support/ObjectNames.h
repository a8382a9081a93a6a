#pragma once

// Windows only: keys by their names in the platform's own namespace
// (\REGISTRY\USER\<SID>\...), which is how a registry link names the key it
// stands for. Shared by the in-process tests and the end-to-end ones.
#include <windows.h>
#include <winternl.h>

#include <string>
#include <string_view>

extern "C" NTSTATUS NTAPI NtQueryKey(HANDLE key, int informationClass, PVOID information,
                                     ULONG length, PULONG resultLength);

// An open key's full name, or "" if it cannot be told.
inline std::wstring ObjectName(HKEY key) {
    constexpr int KeyNameInformation = 3;
    struct {
        ULONG length;
        WCHAR name[1024];
    } info{};
    ULONG size = 0;
    const NTSTATUS status = NtQueryKey(key, KeyNameInformation, &info, sizeof info, &size);
    return std::wstring(info.name, NT_SUCCESS(status) ? info.length / sizeof(WCHAR) : 0);
}

// HKEY_CURRENT_USER's full name, or "" if it cannot be told.
inline std::wstring CurrentUserObjectName() {
    constexpr std::wstring_view below = L"\\Software";
    HKEY software = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_QUERY_VALUE, &software) !=
        ERROR_SUCCESS) {
        return {};
    }
    const std::wstring name = ObjectName(software);
    RegCloseKey(software);
    return name.size() > below.size() && name.ends_with(below)
               ? name.substr(0, name.size() - below.size())
               : L"";
}
