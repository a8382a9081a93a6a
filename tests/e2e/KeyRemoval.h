#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

// Keys of the tests' own making, each reached as itself: a registry link is
// the link key, never the key it stands for. Used by the end-to-end cases and
// by the test kit's clean-up, so nothing here reports through GoogleTest.
namespace KeyRemoval {

struct KeyCloser {
    void operator()(HKEY key) const { RegCloseKey(key); }
};
using Key = std::unique_ptr<std::remove_pointer_t<HKEY>, KeyCloser>;

// The key `name` of `parent` itself, or null (the status in `status`).
Key OpenItself(HKEY parent, const std::wstring& name, REGSAM access, LSTATUS* status = nullptr);

// Opened as itself to be read and deleted. A key of the current user's that
// refuses that (read-only, or a link that withholds query access) first has
// its access list reset by its owner to full access for the user alone.
Key OpenToRemove(HKEY parent, const std::wstring& name, LSTATUS* status = nullptr);

std::vector<std::wstring> Names(HKEY key, bool subkeys);

bool IsLink(HKEY itself);

// The latest time (as FILETIME's count) that any key in the tree of `key`,
// opened with OpenToRemove, was written; empty if one cannot be read.
std::optional<std::uint64_t> LatestWrite(HKEY key);

// Deletes the tree of `key`, opened with OpenToRemove, each key as itself: a
// link goes as a link with its own subkeys, if any. Returns "" or what failed.
std::wstring RemoveTree(HKEY key, const std::wstring& path);

} // namespace KeyRemoval
