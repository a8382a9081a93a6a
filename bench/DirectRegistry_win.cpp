#include "bench/DirectRegistry.h"

#include <windows.h>

#include <utility>

namespace DirectRegistry {
namespace {

// The access the accessor asks for: the six specific key rights.
constexpr REGSAM KeyAccess = 0x3F;
constexpr DWORD NameCapacity = 80;

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

template <typename Delete>
bool DeleteIn(Calls& calls, const std::string& path, const std::string& name, Delete remove) {
    const OpenKey open(calls, HKEY_CURRENT_USER, path, false);
    return open.ok() && calls(remove(open.get(), name.c_str())) == ERROR_SUCCESS;
}

// The subkey `name` of an open key, opened as itself (a link is not
// followed), and whether it holds the value that makes a key a link; closed
// and the close counted when it goes.
class OpenItself {
public:
    OpenItself(Calls& calls, HKEY parent, const std::string& name, REGSAM access) : calls_(calls) {
        ok_ = calls(RegOpenKeyExA(parent, name.c_str(), REG_OPTION_OPEN_LINK, access, &key_)) ==
              ERROR_SUCCESS;
    }
    OpenItself(const OpenItself&) = delete;
    OpenItself& operator=(const OpenItself&) = delete;
    ~OpenItself() { close(); }
    bool ok() const { return ok_; }
    bool holdsLink() const {
        DWORD type = 0;
        DWORD size = 0;
        return calls_(RegQueryValueExA(key_, "SymbolicLinkValue", nullptr, &type, nullptr,
                                       &size)) == ERROR_SUCCESS;
    }
    void close() {
        if (ok_) {
            calls_(RegCloseKey(key_));
            ok_ = false;
        }
    }

private:
    Calls& calls_;
    HKEY key_ = nullptr;
    bool ok_ = false;
};

// What the removal asks before it lists a key. The tree holds no link, so
// a link is only looked for, never deleted.
bool IsLink(Calls& calls, const std::string& parent, const std::string& name) {
    const OpenKey open(calls, HKEY_CURRENT_USER, parent, false);
    if (!open.ok()) {
        return false;
    }
    const OpenItself key(calls, open.get(), name, KEY_QUERY_VALUE);
    return key.ok() && key.holdsLink();
}

// The key is opened as itself and asked whether it is a link before it is
// deleted by name, as the removal does.
bool DeleteKey(Calls& calls, const std::string& parent, const std::string& name) {
    const OpenKey open(calls, HKEY_CURRENT_USER, parent, false);
    if (!open.ok()) {
        return false;
    }
    OpenItself key(calls, open.get(), name, DELETE | KEY_QUERY_VALUE);
    if (!key.ok() || key.holdsLink()) {
        return false;
    }
    key.close();
    return calls(RegDeleteKeyA(open.get(), name.c_str())) == ERROR_SUCCESS;
}

// The parent's path and the key's name travel apart: splitting the bytes of
// a path at its last separator byte could split a double-byte character.
bool DeleteTree(Calls& calls, const std::string& parent, const std::string& name) {
    const std::string path = parent + "\\" + name;
    if (IsLink(calls, parent, name)) {
        return false;
    }
    for (const std::string& value : List(calls, path, EnumValue)) {
        if (!DeleteIn(calls, path, value, RegDeleteValueA)) {
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
