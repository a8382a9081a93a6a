// The accessor's seam with a counter on every registry call, forwarding each
// to advapi32 exactly as the product's seam does. Benchmark only.
#include "bench/CallCount.h"
#include "registry/RegistryApi.h"

#include <windows.h>

namespace SeamCalls {
namespace {

std::uint64_t& Counter() {
    static std::uint64_t calls = 0;
    return calls;
}

} // namespace

std::uint64_t Count() {
    return Counter();
}

void Reset() {
    Counter() = 0;
}

} // namespace SeamCalls

namespace RegistryApi {
namespace {

// Each forwarded call passes its key through here once, and so is counted.
HKEY ForCall(Handle key) {
    ++SeamCalls::Counter();
    return reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(key));
}
Handle FromHkey(HKEY key) {
    return static_cast<Handle>(reinterpret_cast<std::uintptr_t>(key));
}

} // namespace

Status OpenKey(Handle root, const std::string& path, Handle& key) {
    HKEY opened = nullptr;
    const LSTATUS status = RegOpenKeyExA(ForCall(root), path.c_str(), 0, KeyAccess, &opened);
    key = FromHkey(opened);
    return status;
}

Status CreateKey(Handle root, const std::string& path, Handle& key) {
    SECURITY_ATTRIBUTES security{};
    char noClass[] = "";
    HKEY created = nullptr;
    DWORD disposition = 0;
    const LSTATUS status = RegCreateKeyExA(ForCall(root), path.c_str(), 0, noClass, 0, KeyAccess,
                                           &security, &created, &disposition);
    key = FromHkey(created);
    return status;
}

void CloseKey(Handle key) {
    RegCloseKey(ForCall(key));
}

Status EnumValue(Handle key, std::uint32_t index, char* name, std::uint32_t& capacity) {
    DWORD nameSize = capacity;
    DWORD type = 0;
    DWORD dataSize = 0;
    const LSTATUS status =
        RegEnumValueA(ForCall(key), index, name, &nameSize, nullptr, &type, nullptr, &dataSize);
    capacity = nameSize;
    return status;
}

Status EnumKey(Handle key, std::uint32_t index, char* name, std::uint32_t& capacity) {
    DWORD nameSize = capacity;
    FILETIME lastWrite{};
    const LSTATUS status =
        RegEnumKeyExA(ForCall(key), index, name, &nameSize, nullptr, nullptr, nullptr, &lastWrite);
    capacity = nameSize;
    return status;
}

Status DeleteValue(Handle key, const std::string& name) {
    return RegDeleteValueA(ForCall(key), name.c_str());
}

Status DeleteKey(Handle key, const std::string& name) {
    return RegDeleteKeyA(ForCall(key), name.c_str());
}

Status QueryValue(Handle key, const std::string& name, std::uint32_t& type, std::uint8_t* data,
                  std::uint32_t& size) {
    DWORD valueType = type;
    DWORD dataSize = size;
    const LSTATUS status =
        RegQueryValueExA(ForCall(key), name.c_str(), nullptr, &valueType, data, &dataSize);
    type = valueType;
    size = dataSize;
    return status;
}

Status SetValue(Handle key, const std::string& name, std::uint32_t type, const std::uint8_t* data,
                std::uint32_t size) {
    return RegSetValueExA(ForCall(key), name.c_str(), 0, type, data, size);
}

} // namespace RegistryApi
