#include "bench/DirectRegistry.h"

#include <windows.h>
#include <winternl.h>

#include <utility>

extern "C" NTSTATUS NTAPI NtDeleteKey(HANDLE key);
extern "C" NTSTATUS NTAPI NtQueryKey(HANDLE key, int informationClass, PVOID information,
                                     ULONG length, PULONG resultLength);

namespace DirectRegistry {
namespace {

// The access the accessor asks for: the six specific key rights.
constexpr REGSAM KeyAccess = 0x3F;
constexpr DWORD NameCapacity = 80;
constexpr int KeyNameInformation = 3;

// Counts the registry calls made by hand; the benchmark checks the count
// against the one it takes at the program's imports.
class Calls {
public:
    LSTATUS operator()(LSTATUS status) {
        ++count_;
        return status;
    }
    std::uint64_t count() const { return count_; }

private:
    std::uint64_t count_ = 0;
};

// An open key, closed (and the close counted) when it goes.
class OpenKey {
public:
    OpenKey(Calls& calls, HKEY parent, const std::string& path, bool create) : calls_(calls) {
        status_ = create ? calls(RegCreateKeyExA(parent, path.c_str(), 0, nullptr, 0, KeyAccess,
                                                 nullptr, &key_, nullptr))
                         : calls(RegOpenKeyExA(parent, path.c_str(), 0, KeyAccess, &key_));
    }
    OpenKey(const OpenKey&) = delete;
    OpenKey& operator=(const OpenKey&) = delete;
    ~OpenKey() {
        if (ok()) {
            calls_(RegCloseKey(key_));
        }
    }
    bool ok() const { return status_ == ERROR_SUCCESS; }
    HKEY get() const { return key_; }

private:
    Calls& calls_;
    HKEY key_ = nullptr;
    LSTATUS status_ = ERROR_INVALID_HANDLE;
};

bool Write(Calls& calls, HKEY parent, const Key& key) {
    const OpenKey open(calls, parent, key.name, true);
    if (!open.ok()) {
        return false;
    }
    for (const std::string& value : key.values) {
        const std::string data = "data of " + value;
        if (calls(RegSetValueExA(open.get(), value.c_str(), 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>(data.c_str()),
                                 static_cast<DWORD>(data.size() + 1))) != ERROR_SUCCESS) {
            return false;
        }
    }
    for (const Key& subkey : key.subkeys) {
        if (!Write(calls, open.get(), subkey)) {
            return false;
        }
    }
    return true;
}

// Lists names as the accessor does: one 80-byte buffer, until a call fails.
template <typename Enumerate>
std::vector<std::string> List(Calls& calls, const std::string& path, Enumerate enumerate) {
    std::vector<std::string> names;
    const OpenKey open(calls, HKEY_CURRENT_USER, path, false);
    if (!open.ok()) {
        return names;
    }
    for (DWORD index = 0;; ++index) {
        char name[NameCapacity];
        DWORD size = NameCapacity;
        if (calls(enumerate(open.get(), index, name, &size)) != ERROR_SUCCESS) {
            return names;
        }
        names.emplace_back(name, size);
    }
}

LSTATUS EnumValue(HKEY key, DWORD index, char* name, DWORD* size) {
    return RegEnumValueA(key, index, name, size, nullptr, nullptr, nullptr, nullptr);
}

LSTATUS EnumKey(HKEY key, DWORD index, char* name, DWORD* size) {
    FILETIME lastWrite{};
    return RegEnumKeyExA(key, index, name, size, nullptr, nullptr, nullptr, &lastWrite);
}

// A handle opened for a proof or a deletion, closed (and the close counted)
// when it goes.
class Handle {
public:
    Handle(Calls& calls, HKEY parent, const std::string& path, DWORD options, REGSAM access)
        : calls_(calls) {
        ok_ = calls(RegOpenKeyExA(parent, path.c_str(), options, access, &key_)) == ERROR_SUCCESS;
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() {
        if (ok_) {
            calls_(RegCloseKey(key_));
        }
    }
    bool ok() const { return ok_; }
    HKEY get() const { return key_; }

private:
    Calls& calls_;
    HKEY key_ = nullptr;
    bool ok_ = false;
};

std::wstring Wide(const std::string& bytes) {
    std::wstring wide(bytes.size(), L'\0');
    wide.resize(static_cast<std::size_t>(
        MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), wide.data(),
                            static_cast<int>(wide.size()))));
    return wide;
}

std::optional<std::wstring> KeyName(Calls& calls, HKEY key) {
    struct {
        ULONG length;
        WCHAR name[512];
    } info{};
    ULONG size = 0;
    if (!NT_SUCCESS(calls(NtQueryKey(key, KeyNameInformation, &info, sizeof info, &size)))) {
        return std::nullopt;
    }
    return std::wstring(info.name, info.length / sizeof(WCHAR));
}

// The removal's proof that an open key is the one its path names: the name
// of the path's first key, opened as itself, with the rest of the path,
// against the name of the key.
bool IsNamedKey(Calls& calls, HKEY key, const std::string& path) {
    const std::size_t first = path.find('\\');
    std::optional<std::wstring> expected;
    {
        const Handle top(calls, HKEY_CURRENT_USER, path.substr(0, first), REG_OPTION_OPEN_LINK,
                         READ_CONTROL);
        expected = top.ok() ? KeyName(calls, top.get()) : std::nullopt;
    }
    const auto name = KeyName(calls, key);
    if (!expected || !name) {
        return false;
    }
    *expected += Wide(path.substr(first));
    return CompareStringOrdinal(name->data(), static_cast<int>(name->size()), expected->data(),
                                static_cast<int>(expected->size()), TRUE) == CSTR_EQUAL;
}

bool DeleteValue(Calls& calls, const std::string& path, const std::string& name) {
    const OpenKey open(calls, HKEY_CURRENT_USER, path, false);
    return open.ok() && IsNamedKey(calls, open.get(), path) &&
           calls(RegDeleteValueA(open.get(), name.c_str())) == ERROR_SUCCESS;
}

// What the removal asks before it lists a key: the key opened as itself
// from the root, proven, asked for its link value. The tree holds no link.
bool IsPlainKey(Calls& calls, const std::string& path) {
    const Handle key(calls, HKEY_CURRENT_USER, path, REG_OPTION_OPEN_LINK, KEY_QUERY_VALUE);
    if (!key.ok() || !IsNamedKey(calls, key.get(), path)) {
        return false;
    }
    DWORD type = 0;
    DWORD size = 0;
    return calls(RegQueryValueExA(key.get(), "SymbolicLinkValue", nullptr, &type, nullptr,
                                  &size)) == ERROR_FILE_NOT_FOUND;
}

// The key opened as itself from its parent, proven, and deleted through its
// own handle, as the removal does.
bool DeleteKey(Calls& calls, const std::string& parent, const std::string& name) {
    const OpenKey open(calls, HKEY_CURRENT_USER, parent, false);
    if (!open.ok()) {
        return false;
    }
    const Handle key(calls, open.get(), name, REG_OPTION_OPEN_LINK, DELETE);
    return key.ok() && IsNamedKey(calls, key.get(), parent + "\\" + name) &&
           NT_SUCCESS(calls(NtDeleteKey(key.get())));
}

// The parent's path and the key's name travel apart: splitting the bytes of
// a path at its last separator byte could split a double-byte character.
bool DeleteTree(Calls& calls, const std::string& parent, const std::string& name) {
    const std::string path = parent + "\\" + name;
    if (!IsPlainKey(calls, path)) {
        return false;
    }
    for (const std::string& value : List(calls, path, EnumValue)) {
        if (!DeleteValue(calls, path, value)) {
            return false;
        }
    }
    for (const std::string& subkey : List(calls, path, EnumKey)) {
        if (!DeleteTree(calls, path, subkey)) {
            return false;
        }
    }
    return DeleteKey(calls, parent, name);
}

} // namespace

bool Build(const std::string& parent, const Key& tree) {
    Calls calls;
    const OpenKey open(calls, HKEY_CURRENT_USER, parent, true);
    return open.ok() && Write(calls, open.get(), tree);
}

bool Exists(const std::string& path) {
    Calls calls;
    return OpenKey(calls, HKEY_CURRENT_USER, path, false).ok();
}

std::optional<std::uint64_t> DeleteByHand(const std::string& parent, const std::string& name) {
    Calls calls;
    if (!DeleteTree(calls, parent, name)) {
        return std::nullopt;
    }
    return calls.count();
}

std::optional<std::uint64_t> DeleteAtOnce(const std::string& path) {
    Calls calls;
    if (calls(RegDeleteTreeA(HKEY_CURRENT_USER, path.c_str())) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    return calls.count();
}

} // namespace DirectRegistry
