#include "registry/RegistryApi.h"

#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <array>
#include <span>
#include <vector>

// ntdll's own deletion of an open key, and its name: advapi32 has no call
// that deletes a key through a handle, nor one that tells where a handle is.
extern "C" NTSTATUS NTAPI NtDeleteKey(HANDLE key);
extern "C" NTSTATUS NTAPI NtQueryKey(HANDLE key, int informationClass, PVOID information,
                                     ULONG length, PULONG resultLength);

namespace RegistryApi {
namespace {

HKEY ToHkey(Handle key) {
    return reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(key));
}
Handle FromHkey(HKEY key) {
    return static_cast<Handle>(reinterpret_cast<std::uintptr_t>(key));
}

} // namespace

Status OpenKey(Handle root, const std::string& path, Handle& key) {
    HKEY opened = nullptr;
    const LSTATUS status = RegOpenKeyExA(ToHkey(root), path.c_str(), 0, KeyAccess, &opened);
    key = FromHkey(opened);
    return status;
}

Status OpenKeyItself(Handle parent, const std::string& name, std::uint32_t access, Handle& key) {
    HKEY opened = nullptr;
    const LSTATUS status =
        RegOpenKeyExA(ToHkey(parent), name.c_str(), REG_OPTION_OPEN_LINK, access, &opened);
    key = FromHkey(opened);
    return status;
}

Status CreateKey(Handle root, const std::string& path, Handle& key) {
    SECURITY_ATTRIBUTES security{};
    char noClass[] = "";
    HKEY created = nullptr;
    DWORD disposition = 0;
    const LSTATUS status = RegCreateKeyExA(ToHkey(root), path.c_str(), 0, noClass, 0, KeyAccess,
                                           &security, &created, &disposition);
    key = FromHkey(created);
    return status;
}

void CloseKey(Handle key) {
    RegCloseKey(ToHkey(key));
}

Status EnumValue(Handle key, std::uint32_t index, char* name, std::uint32_t capacity) {
    DWORD nameSize = capacity;
    DWORD type = 0;
    DWORD dataSize = 0;
    return RegEnumValueA(ToHkey(key), index, name, &nameSize, nullptr, &type, nullptr, &dataSize);
}

Status EnumKey(Handle key, std::uint32_t index, char* name, std::uint32_t capacity) {
    DWORD nameSize = capacity;
    FILETIME lastWrite{};
    return RegEnumKeyExA(ToHkey(key), index, name, &nameSize, nullptr, nullptr, nullptr,
                         &lastWrite);
}

Status DeleteValue(Handle key, const std::string& name) {
    return RegDeleteValueA(ToHkey(key), name.c_str());
}

Status DeleteOpenKey(Handle key) {
    const NTSTATUS status = NtDeleteKey(ToHkey(key));
    return NT_SUCCESS(status) ? Success : static_cast<Status>(RtlNtStatusToDosError(status));
}

Status KeyName(Handle key, std::u16string& name) {
    constexpr int KeyNameInformation = 3;
    constexpr NTSTATUS BufferOverflow = static_cast<NTSTATUS>(0x80000005);
    constexpr NTSTATUS BufferTooSmall = static_cast<NTSTATUS>(0xC0000023);
    // KEY_NAME_INFORMATION: the name's length in bytes, then the name. Room
    // for the usual name on the stack; a longer one is asked for again.
    std::array<ULONG, 128> room;
    std::vector<ULONG> larger;
    std::span<ULONG> buffer(room);
    for (;;) {
        const auto size = static_cast<ULONG>(buffer.size() * sizeof(ULONG));
        ULONG needed = 0;
        const NTSTATUS status =
            NtQueryKey(ToHkey(key), KeyNameInformation, buffer.data(), size, &needed);
        if (NT_SUCCESS(status)) {
            const auto* text = reinterpret_cast<const char16_t*>(buffer.data() + 1);
            name.assign(text, std::min<ULONG>(buffer[0], size - sizeof(ULONG)) / sizeof(char16_t));
            return Success;
        }
        if ((status != BufferOverflow && status != BufferTooSmall) || needed <= size) {
            return static_cast<Status>(RtlNtStatusToDosError(status));
        }
        larger.resize(needed / sizeof(ULONG) + 1);
        buffer = larger;
    }
}

bool SameKeyName(std::u16string_view a, std::u16string_view b) {
    // The system's own upper-case table, as the registry compares names.
    return CompareStringOrdinal(reinterpret_cast<const wchar_t*>(a.data()),
                                static_cast<int>(a.size()),
                                reinterpret_cast<const wchar_t*>(b.data()),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

Status QueryValue(Handle key, const std::string& name, std::uint32_t& type, std::uint8_t* data,
                  std::uint32_t& size) {
    DWORD valueType = type;
    DWORD dataSize = size;
    const LSTATUS status =
        RegQueryValueExA(ToHkey(key), name.c_str(), nullptr, &valueType, data, &dataSize);
    type = valueType;
    size = dataSize;
    return status;
}

Status SetValue(Handle key, const std::string& name, std::uint32_t type, const std::uint8_t* data,
                std::uint32_t size) {
    return RegSetValueExA(ToHkey(key), name.c_str(), 0, type, data, size);
}

} // namespace RegistryApi
