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
// subkeys cannot be deleted, and statuses are the platform's.
namespace FakeRegistry {

enum class Op {
    OpenKey,
    CreateKey,
    CloseKey,
    EnumValue,
    EnumKey,
    DeleteValue,
    DeleteKey,
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

// A deletion as the registry received it: the key it was made in, as a path
// below HKEY_CURRENT_USER ("" for the root itself), and the value or subkey
// name.
struct Deletion {
    Op op;
    std::string in;
    std::string name;
    bool operator==(const Deletion&) const = default;
};

// The deletions of the log, in the order they were made.
std::vector<Deletion> Deletions();

} // namespace FakeRegistry
