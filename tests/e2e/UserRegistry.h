#pragma once

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

// Prepares and inspects HKEY_CURRENT_USER through the wide registry
// functions, independently of the code page conversions of the program
// under test. Paths are below HKEY_CURRENT_USER.
namespace UserRegistry {

inline constexpr wchar_t ProgramSettings[] = L"Software\\VB and VBA Program Settings";
inline constexpr wchar_t Settings[] = L"Software\\VB and VBA Program Settings\\Orrelin";

struct Value {
    std::wstring name;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

Value Text(std::wstring name, std::wstring_view text);
Value Number(std::wstring name, DWORD number);
Value Bytes(std::wstring name, std::vector<BYTE> bytes);

// Creates the key and every missing key above it, one component at a time
// so that long paths need no special care; then stores the values.
void Put(const std::wstring& path, const std::vector<Value>& values = {});

// Makes `path` (and every missing key above it) a registry link that
// stands for the existing key `target`, and checks that it leads there.
void Link(const std::wstring& path, const std::wstring& target);

// Withholds `rights` from everyone on the key itself (a link as the link
// key), as its owner can.
void Withhold(const std::wstring& path, DWORD rights);

// Whether the key itself is there: a link counts, whatever it points to.
bool Exists(const std::wstring& path);
bool IsEmpty(const std::wstring& path);
// Deletes the key with everything below it; a missing key is fine. A link
// is deleted as a link: nothing is ever deleted through one.
void Remove(const std::wstring& path);
// Copies a link as a link, so that the copy stands for the same key.
void Copy(const std::wstring& from, const std::wstring& to);

// Every key, value name, type and datum below `path`, one per line in
// UTF-8; comparing two listings shows any change. A missing key lists as
// "<missing>". The subkeys of `path` named in `leftOut` are not listed.
std::string Listing(const std::wstring& path, const std::vector<std::wstring>& leftOut = {});

} // namespace UserRegistry
