#pragma once

#include "registry/RegistryApi.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// In-memory registry behind the RegistryApi seam, behaving as Wine's does
// for the calls the accessor makes: names match regardless of (ASCII) case,
// keys and values are listed in case-insensitive sorted order, a key with
// subkeys cannot be deleted, links are followed unless a key is opened as
// itself, a key's rights withheld from everyone are refused on opening it
// (but not on following it as a link), an open key tells its full name,
// and statuses are the platform's.
namespace FakeRegistry {

enum class Op {
    OpenKey,
    OpenKeyItself,
    CreateKey,
    CloseKey,
    EnumValue,
    EnumKey,
    DeleteValue,
    DeleteOpenKey,
    QueryValue,
    SetValue,
    KeyName
};

struct Call {
    Op op;
    std::string key;  // full path of the key the call works on, "HKCU\a\b"; for a key
                      // deleted through its own handle, its parent's, with its name
    std::string name; // subkey path, value name or enumerated name, as given or returned
    std::uint32_t index = 0;
    std::uint32_t capacity = 0; // of the caller's name buffer, for listings
};

// Decides the status of a call before it runs; nullopt lets it run.
using FailurePlan = std::function<std::optional<RegistryApi::Status>(const Call&)>;
// Acts on the store just before a call runs, as another program might
// between two calls of ours.
using Meddler = std::function<void(const Call&)>;

void Reset();
void FailWhen(FailurePlan plan);
void MeddleBeforeEachCall(Meddler meddler);
const std::vector<Call>& Log();
void ClearLog();
int OpenHandleCount();

// Makes `path` (below HKEY_CURRENT_USER, created with the keys above it) a
// link to `target`, as a program that creates links would; the target
// need not exist.
void CreateLink(const std::string& path, const std::string& target);

// Puts a link to `target` in the place of the key at `path`, which goes
// with everything below it, as another program could between two calls;
// nothing happens where no key is. Not logged.
void ReplaceWithLink(const std::string& path, const std::string& target);

// Withholds the rights `denied` from everyone on the key at `path` itself
// (a link as the link key), as its security descriptor can.
void Deny(const std::string& path, std::uint32_t denied);

// Makes a key of the UTF-16 name `name` below `parent`, listed in the code
// page with Windows' best fit: U+00A5 (yen) as '\', U+00B7 (middle dot) as
// U+30FB, so a listed name need not name the key.
void CreateKeyNamed(const std::string& parent, const std::u16string& name);
void DeleteKeyNamed(const std::string& parent, const std::u16string& name);

// A deletion as the registry received it: the key it was made in, as a path
// below HKEY_CURRENT_USER ("" for the root itself), and the value or subkey
// name; a key deleted through its own handle shows as deleted from its parent.
struct Deletion {
    Op op;
    std::string in;
    std::string name;
    bool operator==(const Deletion&) const = default;
};

// The deletions of the log, in the order they were made.
std::vector<Deletion> Deletions();

} // namespace FakeRegistry
