#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The seam between the accessor and the platform's ANSI registry functions.
// Names and text cross it as code-page bytes; the Windows side forwards each
// call unchanged and host tests put an in-memory registry in its place.
namespace RegistryApi {

using Status = std::int32_t;

// An open key, or a predefined root given as its 32-bit identifier.
enum class Handle : std::uintptr_t {};

inline constexpr Status Success = 0;
inline constexpr Status FileNotFound = 2;
inline constexpr Status MoreData = 234;

inline constexpr std::uint32_t TypeString = 1; // REG_SZ
inline constexpr std::uint32_t TypeBinary = 3; // REG_BINARY
inline constexpr std::uint32_t TypeDword = 4;  // REG_DWORD

// The six specific key rights; deliberately not KEY_ALL_ACCESS.
inline constexpr std::uint32_t KeyAccess = 0x3F;

// The least a key is opened with for what is done with it: only its name
// (a right its owner always holds), reading one value, or deleting it.
inline constexpr std::uint32_t NameAccess = 0x20000;   // READ_CONTROL
inline constexpr std::uint32_t QueryAccess = 0x1;      // KEY_QUERY_VALUE
inline constexpr std::uint32_t DeleteAccess = 0x10000; // DELETE

// A registry link is a key whose value of this name holds the path of the
// key it stands for; opening through it reaches that key instead.
inline constexpr char LinkValueName[] = "SymbolicLinkValue";

// Predefined roots are sign-extended where handles are wider than 32 bits.
constexpr Handle RootHandle(std::uint32_t root) {
    return static_cast<Handle>(static_cast<std::intptr_t>(static_cast<std::int32_t>(root)));
}

constexpr bool IsPredefinedRoot(Handle key) {
    const auto value = static_cast<std::intptr_t>(key);
    return value >= static_cast<std::intptr_t>(RootHandle(0x80000000u)) &&
           value <= static_cast<std::intptr_t>(RootHandle(0x80000006u));
}

Status OpenKey(Handle root, const std::string& path, Handle& key);
// Opens the key `name` of `parent` itself: a link is not followed, so a
// link opens as the link key.
Status OpenKeyItself(Handle parent, const std::string& name, std::uint32_t access, Handle& key);
Status CreateKey(Handle root, const std::string& path, Handle& key);
void CloseKey(Handle key);

// `capacity` is the buffer's size in bytes, NUL included.
Status EnumValue(Handle key, std::uint32_t index, char* name, std::uint32_t capacity);
Status EnumKey(Handle key, std::uint32_t index, char* name, std::uint32_t capacity);

Status DeleteValue(Handle key, const std::string& name);
// Deletes the key of an open handle (one with DeleteAccess), which must have
// no subkeys: for a link, the link itself. A key renamed or replaced since
// the open is not the one deleted.
Status DeleteOpenKey(Handle key);

// The full name of an open key in the platform's own namespace
// ("\REGISTRY\USER\<SID>\..."): where the key is, whichever link or
// redirection led there. Needs no right on the key; a predefined root
// handle has no name to give.
Status KeyName(Handle key, std::u16string& name);
// Whether two key names are the same to the registry, which ignores case.
bool SameKeyName(std::u16string_view a, std::u16string_view b);

// `type` and `size` are in/out as for RegQueryValueExA: the preset type and
// the capacity on entry, the stored type and byte count on return. With no
// `data`, only whether the value exists is asked.
Status QueryValue(Handle key, const std::string& name, std::uint32_t& type, std::uint8_t* data,
                  std::uint32_t& size);
Status SetValue(Handle key, const std::string& name, std::uint32_t type, const std::uint8_t* data,
                std::uint32_t size);

} // namespace RegistryApi
