#include "bench/CallCount.h"
#include "tests/support/ObjectNames.h"
#include "tests/support/TestRegistry.h"

#include <gtest/gtest.h>

#include <sddl.h>

#include <cstdio>

namespace {

std::wstring Wide(const std::string& ansi) {
    std::wstring wide(ansi.size(), L'\0');
    wide.resize(static_cast<std::size_t>(
        MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), wide.data(),
                            static_cast<int>(wide.size()))));
    return wide;
}

} // namespace

// Counted where the test program imports the registry functions: the
// process's handle count would show every key left open on Windows, but
// under Wine it is always 0.
int TestRegistry::OpenKeys() {
    static const bool counting = RegistryCalls::StartCounting() > 0;
    if (!counting) {
        ADD_FAILURE() << "cannot count open registry keys: no registry function found among "
                         "the program's imports";
        return -1;
    }
    return RegistryCalls::OpenKeys();
}

bool TestRegistry::AnsiCodePageIsUtf8() {
    return GetACP() == CP_UTF8;
}

bool TestRegistry::UnderWine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

void TestRegistry::CreateLink(const std::string& path, const std::string& target) {
    const std::wstring user = CurrentUserObjectName();
    ASSERT_FALSE(user.empty()) << "cannot tell the name of HKEY_CURRENT_USER";
    const std::wstring targetName = user + L"\\" + Wide(target);
    HKEY link = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, Wide(path).c_str(), 0, nullptr,
                              REG_OPTION_CREATE_LINK, KEY_ALL_ACCESS | KEY_CREATE_LINK, nullptr,
                              &link, nullptr),
              ERROR_SUCCESS)
        << "cannot create the link " << path;
    const LSTATUS status = RegSetValueExW(link, L"SymbolicLinkValue", 0, REG_LINK,
                                          reinterpret_cast<const BYTE*>(targetName.data()),
                                          static_cast<DWORD>(targetName.size() * sizeof(wchar_t)));
    RegCloseKey(link);
    ASSERT_EQ(status, ERROR_SUCCESS) << "cannot point the link " << path;
}

void TestRegistry::Deny(const std::string& path, std::uint32_t rights) {
    HKEY key = nullptr;
    ASSERT_EQ(
        RegOpenKeyExW(HKEY_CURRENT_USER, Wide(path).c_str(), REG_OPTION_OPEN_LINK, WRITE_DAC, &key),
        ERROR_SUCCESS)
        << "cannot change the rights on " << path;
    // One entry for everyone, granting all the rest; protected, so that
    // nothing from above is inherited in its place.
    wchar_t descriptor[64];
    std::swprintf(descriptor, std::size(descriptor), L"D:P(A;;0x%lx;;;WD)",
                  static_cast<unsigned long>(KEY_ALL_ACCESS & ~rights));
    PSECURITY_DESCRIPTOR security = nullptr;
    const bool made = ConvertStringSecurityDescriptorToSecurityDescriptorW(
        descriptor, SDDL_REVISION_1, &security, nullptr);
    const LSTATUS status =
        made ? RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, security) : ERROR_INVALID_DATA;
    LocalFree(security);
    RegCloseKey(key);
    ASSERT_EQ(status, ERROR_SUCCESS) << "cannot change the rights on " << path;
}

void TestRegistry::CreateKeyNamed(const std::string& parent, const std::u16string& name) {
    const std::wstring path = Wide(parent) + L"\\" + reinterpret_cast<const wchar_t*>(name.c_str());
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS)
        << "cannot create a key below " << parent;
    RegCloseKey(key);
}

void TestRegistry::DeleteKeyNamed(const std::string& parent, const std::u16string& name) {
    const std::wstring path = Wide(parent) + L"\\" + reinterpret_cast<const wchar_t*>(name.c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, path.c_str());
}

// A volatile key refuses a stable key below it (ERROR_CHILD_MUST_BE_VOLATILE).
bool TestRegistry::OutlivesSession(const std::string& path) {
    const std::string probe = path + "\\stable probe";
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, probe.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    RegDeleteKeyA(HKEY_CURRENT_USER, probe.c_str());
    return true;
}
