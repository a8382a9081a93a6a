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

// The removal's call pattern with no accessor, each open that matters
// proven to be the key its path names by its name (NtQueryKey) against the
// name of the path's first key: for every key, open it as itself, prove it,
// ask for its link value, close; open, list the values, close; open, prove,
// delete, close for every value; open, list the subkeys, close; each
// subkey's tree; then open the parent, open the key as itself, prove it,
// delete it through its handle (NtDeleteKey), close both. Gives the number
// of registry calls made, or nullopt on a failure (a link in the tree among
// them: the benchmark's tree has none).
std::optional<std::uint64_t> DeleteByHand(const std::string& parent, const std::string& name);

// One RegDeleteTreeA of the whole tree.
std::optional<std::uint64_t> DeleteAtOnce(const std::string& path);

} // namespace DirectRegistry
