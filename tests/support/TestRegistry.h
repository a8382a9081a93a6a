#pragma once

#include "registry/RegistryApi.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Seeds and inspects the registry through the seam itself, so the same test
// reads the same way against the host stand-in and against Wine's registry.
// Paths and names are code-page bytes below HKEY_CURRENT_USER.
namespace TestRegistry {

struct StoredValue {
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
    bool operator==(const StoredValue&) const = default;
};

RegistryApi::Handle CurrentUser();

// How a key is reached: opened through any link on the way, created with
// the keys above it, or opened as itself, a link as the link key, to read
// its values or only to delete it.
enum class Opening { Open, Create, Itself, ItselfToDelete };

// An open key, closed when it goes; a predefined root is never closed.
class Key {
public:
    Key(RegistryApi::Handle parent, const std::string& path, Opening how = Opening::Open);
    explicit Key(const std::string& path, Opening how = Opening::Open)
        : Key(CurrentUser(), path, how) {}
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    ~Key();
    bool ok() const { return status_ == RegistryApi::Success; }
    RegistryApi::Handle get() const { return key_; }

private:
    RegistryApi::Handle key_{};
    RegistryApi::Status status_ = -1;
};

// Whether the ANSI code page is UTF-8, as Windows' option "Use Unicode UTF-8
// for worldwide language support" makes it, rather than 932. The stand-in
// always has 932.
bool AnsiCodePageIsUtf8();

// Whether the registry is Wine's, which differs from Windows' in a few limits.
bool UnderWine();

// Encodes a UTF-16 literal in the ANSI code page; fails the test if inexact.
std::string Ansi(std::u16string_view text);
std::vector<std::u16string> Decoded(const std::vector<std::string>& names);

std::string Join(const std::string& path, const std::string& name);

// Deletes the key with everything below it; a link in it goes as a link.
// Every key goes through a handle of its own, so nothing is deleted through
// a link, even one that withholds its reading right.
void DeleteTree(const std::string& path);
void CreateKey(const std::string& path);
void SetValue(const std::string& path, const std::string& name, std::uint32_t type,
              const std::vector<std::uint8_t>& data);
void SetString(const std::string& path, const std::string& name, const std::string& text);
// Deletes the value if it is there.
void DeleteValue(const std::string& path, const std::string& name);

bool KeyExists(const std::string& path);

// Makes `path` a registry link to the key `target` (which need not exist),
// as another program could.
void CreateLink(const std::string& path, const std::string& target);
bool IsLink(const std::string& path);

// Withholds `rights` from everyone on the key at `path` itself (a link as
// the link key), as its owner can; 0 gives them all back.
void Deny(const std::string& path, std::uint32_t rights);

// A key named in UTF-16 below `parent`, whose name the code page may list
// as something else; and its deletion, if it is there and has no subkeys.
void CreateKeyNamed(const std::string& parent, const std::u16string& name);
void DeleteKeyNamed(const std::string& parent, const std::u16string& name);

// True when the key at `path` lasts beyond the registry session: a key
// that would not, a volatile one, can hold no key that does.
bool OutlivesSession(const std::string& path);

using EnumFunction = RegistryApi::Status (*)(RegistryApi::Handle, std::uint32_t, char*,
                                             std::uint32_t);
// Every name of an open key, however long, up to the first failure.
std::vector<std::string> Names(RegistryApi::Handle key, EnumFunction enumerate);
std::vector<std::string> ValueNames(const std::string& path);
std::vector<std::string> SubkeyNames(const std::string& path);
std::optional<StoredValue> ReadValue(const std::string& path, const std::string& name);

// A tree as the registry lists it: names in the platform's order, values
// with what they hold (nullopt when the listed name cannot be read back).
struct NamedValue {
    std::string name;
    std::optional<StoredValue> stored;
};
struct Tree {
    std::string name;
    std::vector<NamedValue> values;
    std::vector<Tree> subkeys;
};

// The key `name` below the open key `parent` with everything in it; a key
// that cannot be opened reads as empty.
Tree Read(RegistryApi::Handle parent, const std::string& name);

// A full listing of a tree: every key path, value name, type and data, in
// listing order; comparing two snapshots shows any change.
std::string Snapshot(const std::string& path);
// The same for a tree read before, at `path`, such as one with parts left out.
std::string Listing(const Tree& tree, const std::string& path);

// Registry keys this process has opened and not closed, to show that every
// open was closed.
int OpenKeys();

} // namespace TestRegistry
