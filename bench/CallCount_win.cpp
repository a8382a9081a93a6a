// Counts registry calls by rewriting this program's import address table:
// each entry of the counted functions is pointed at a forwarder that counts the
// call and then calls the function the loader had put there. Every call in
// the program goes through those entries, the accessor's seam and the
// program's own code alike. The forwarders of open, create and close also
// keep the keys handed out, since the process's handle count cannot show
// them under Wine (it stays 0).
#include "bench/CallCount.h"

#include <windows.h>
#include <winternl.h>

#include <array>
#include <cstring>
#include <set>
#include <string_view>
#include <tuple>

extern "C" NTSTATUS NTAPI NtDeleteKey(HANDLE key);
extern "C" NTSTATUS NTAPI NtQueryKey(HANDLE key, int informationClass, PVOID information,
                                     ULONG length, PULONG resultLength);

namespace RegistryCalls {
namespace {

struct Counting {
    std::uint64_t calls = 0;
    // Where each entry pointed before it was rewritten.
    std::array<ULONG_PTR, CountedFunctions> targets{};
    std::set<HKEY> openKeys;
};

Counting& State() {
    static Counting state;
    return state;
}

// The slots of the functions that hand out and take back keys.
constexpr std::size_t OpenSlot = 0;
constexpr std::size_t CreateSlot = 1;
constexpr std::size_t CloseSlot = 2;

bool IsPredefinedRoot(HKEY key) {
    const auto value = reinterpret_cast<ULONG_PTR>(key);
    return value >= reinterpret_cast<ULONG_PTR>(HKEY_CLASSES_ROOT) &&
           value <= reinterpret_cast<ULONG_PTR>(HKEY_CURRENT_USER_LOCAL_SETTINGS);
}

// One forwarder per entry; the slot keeps apart functions of one signature.
template <std::size_t Slot, typename Function>
struct Forwarder;

template <std::size_t Slot, typename... Args>
struct Forwarder<Slot, LSTATUS(WINAPI*)(Args...)> {
    static LSTATUS WINAPI Call(Args... args) {
        Counting& state = State();
        ++state.calls;
        const LSTATUS status =
            reinterpret_cast<LSTATUS(WINAPI*)(Args...)>(state.targets[Slot])(args...);
        if (status != ERROR_SUCCESS) {
            return status;
        }
        // The key opened comes back through the last argument of RegOpenKeyExA
        // and the one before the last of RegCreateKeyExA.
        if constexpr (Slot == OpenSlot || Slot == CreateSlot) {
            constexpr std::size_t keyAt = sizeof...(Args) - (Slot == OpenSlot ? 1 : 2);
            const HKEY key = *std::get<keyAt>(std::forward_as_tuple(args...));
            if (!IsPredefinedRoot(key)) {
                state.openKeys.insert(key);
            }
        } else if constexpr (Slot == CloseSlot) {
            state.openKeys.erase(std::get<0>(std::forward_as_tuple(args...)));
        }
        return status;
    }
};

template <std::size_t Slot, typename Function>
ULONG_PTR CountingEntry(Function) {
    return reinterpret_cast<ULONG_PTR>(&Forwarder<Slot, Function>::Call);
}

struct Import {
    std::string_view library;
    std::string_view name;
    ULONG_PTR forwarder;
};

const std::array<Import, CountedFunctions>& Imports() {
    static const std::array<Import, CountedFunctions> imports{{
        {"advapi32.dll", "RegOpenKeyExA", CountingEntry<OpenSlot>(&RegOpenKeyExA)},
        {"advapi32.dll", "RegCreateKeyExA", CountingEntry<CreateSlot>(&RegCreateKeyExA)},
        {"advapi32.dll", "RegCloseKey", CountingEntry<CloseSlot>(&RegCloseKey)},
        {"advapi32.dll", "RegEnumValueA", CountingEntry<3>(&RegEnumValueA)},
        {"advapi32.dll", "RegEnumKeyExA", CountingEntry<4>(&RegEnumKeyExA)},
        {"advapi32.dll", "RegDeleteValueA", CountingEntry<5>(&RegDeleteValueA)},
        {"advapi32.dll", "RegQueryValueExA", CountingEntry<6>(&RegQueryValueExA)},
        {"advapi32.dll", "RegSetValueExA", CountingEntry<7>(&RegSetValueExA)},
        {"ntdll.dll", "NtDeleteKey", CountingEntry<8>(&NtDeleteKey)},
        {"ntdll.dll", "NtQueryKey", CountingEntry<9>(&NtQueryKey)},
    }};
    return imports;
}

bool Rewrite(ULONG_PTR& entry, ULONG_PTR value) {
    DWORD previous = 0;
    if (!VirtualProtect(&entry, sizeof entry, PAGE_READWRITE, &previous)) {
        return false;
    }
    entry = value;
    VirtualProtect(&entry, sizeof entry, previous, &previous);
    return true;
}

} // namespace

int StartCounting() {
    auto* const image = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(image + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (directory.VirtualAddress == 0) {
        return 0;
    }

    // The names come from the lookup table, the entries to rewrite from the
    // address table beside it; the loader has filled in only the latter.
    std::array<ULONG_PTR*, CountedFunctions> entries{};
    for (auto* library =
             reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(image + directory.VirtualAddress);
         library->Name != 0; ++library) {
        const char* const libraryName = reinterpret_cast<const char*>(image + library->Name);
        if (library->OriginalFirstThunk == 0) {
            continue;
        }
        const auto* lookup =
            reinterpret_cast<const IMAGE_THUNK_DATA*>(image + library->OriginalFirstThunk);
        auto* address = reinterpret_cast<IMAGE_THUNK_DATA*>(image + library->FirstThunk);
        for (; lookup->u1.AddressOfData != 0; ++lookup, ++address) {
            if (IMAGE_SNAP_BY_ORDINAL(lookup->u1.Ordinal)) {
                continue;
            }
            const auto* byName =
                reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(image + lookup->u1.AddressOfData);
            const std::string_view name(reinterpret_cast<const char*>(byName->Name));
            for (std::size_t slot = 0; slot < Imports().size(); ++slot) {
                if (Imports()[slot].name == name &&
                    _stricmp(libraryName, Imports()[slot].library.data()) == 0) {
                    entries[slot] = reinterpret_cast<ULONG_PTR*>(&address->u1.Function);
                }
            }
        }
    }
    int found = 0;
    for (std::size_t slot = 0; slot < entries.size(); ++slot) {
        if (!entries[slot]) {
            continue;
        }
        State().targets[slot] = *entries[slot];
        if (!Rewrite(*entries[slot], Imports()[slot].forwarder)) {
            return 0;
        }
        ++found;
    }
    Reset();
    return found;
}

std::uint64_t Count() {
    return State().calls;
}

void Reset() {
    State().calls = 0;
}

int OpenKeys() {
    return static_cast<int>(State().openKeys.size());
}

} // namespace RegistryCalls
