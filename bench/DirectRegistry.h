#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The benchmark's own registry work, written straight against advapi32.
// Paths and names are code-page bytes below HKEY_CURRENT_USER.
namespace DirectRegistry {

struct Key {
    std::string name;
    std::vector<std::string> values;
    std::vector<Key> subkeys;
};

// Creates `tree` below the key `parent` (which is created too); each value
// holds a short text.
bool Build(const std::string& parent, const Key& tree);
bool Exists(const std::string& path);

// The removal's call pattern with no accessor: for every key, open the
// parent, open the key as itself, ask for its link value, close both; open,
// list the values, close; open, delete, close for every value; open, list
// the subkeys, close; each subkey's tree; then open the parent, open the key
// as itself, ask for its link value, close it, delete it by name, close the
// parent. Gives the number of registry calls made, or nullopt on a failure
// (a link in the tree among them: the benchmark's tree has none).
std::optional<std::uint64_t> DeleteByHand(const std::string& parent, const std::string& name);

// One RegDeleteTreeA of the whole tree.
std::optional<std::uint64_t> DeleteAtOnce(const std::string& path);

} // namespace DirectRegistry
