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

// Encodes a UTF-16 literal in the ANSI code page; fails the test if inexact.
std::string Ansi(std::u16string_view text);

void DeleteTree(const std::string& path);
void CreateKey(const std::string& path);
void SetValue(const std::string& path, const std::string& name, std::uint32_t type,
              const std::vector<std::uint8_t>& data);
void SetString(const std::string& path, const std::string& name, const std::string& text);

bool KeyExists(const std::string& path);
std::vector<std::string> ValueNames(const std::string& path);
std::vector<std::string> SubkeyNames(const std::string& path);
std::optional<StoredValue> ReadValue(const std::string& path, const std::string& name);

// A full listing of a tree: every key path, value name, type and data, in
// listing order; comparing two snapshots shows any change.
std::string Snapshot(const std::string& path);

// Open registry handles of this process, to show that every open was closed.
int OpenHandles();

} // namespace TestRegistry
