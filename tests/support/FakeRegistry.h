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
// itself, and statuses are the platform's.
namespace FakeRegistry {

enum class Op {
    OpenKey,
    OpenKeyItself,
    CreateKey,
    CloseKey,
    EnumValue,
    EnumKey,
    DeleteValue,
    DeleteKey,
    DeleteOpenKey,
    QueryValue,
    SetValue
};

struct Call {
    Op op;
    std::string key;  // full path of the key the call works on, "HKCU\a\b"
    std::string name; // subkey path, value name or enumerated name, as given or returned
    std::uint32_t index = 0;
    std::uint32_t capacity = 0; // of the caller's name buffer, for listings
};

// Decides the status of a call before it runs; nullopt lets it run.
using FailurePlan = std::function<std::optional<RegistryApi::Status>(const Call&)>;

void Reset();
void FailWhen(FailurePlan plan);
const std::vector<Call>& Log();
void ClearLog();
int OpenHandleCount();

// Makes `path` (below HKEY_CURRENT_USER, created with the keys above it) a
// link to `target`, as a program that creates links would; the target
// need not exist.
void CreateLink(const std::string& path, const std::string& target);

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
