// Counts registry calls by rewriting this program's import address table:
// each entry of the nine functions is pointed at a forwarder that counts the
// call and then calls the function the loader had put there. Every call in
// the program goes through those entries, the accessor's seam and the
// benchmark's own code alike. Benchmark only.
#include "bench/CallCount.h"

#include <windows.h>

#include <array>
#include <cstring>
#include <string_view>

namespace RegistryCalls {
namespace {

struct Counting {
    std::uint64_t calls = 0;
    // Where each entry pointed before it was rewritten.
    std::array<ULONG_PTR, 9> targets{};
};

Counting& State() {
    static Counting state;
    return state;
}

// One forwarder per entry; the slot keeps apart functions of one signature.
template <std::size_t Slot, typename Function>
struct Forwarder;

template <std::size_t Slot, typename... Args>
struct Forwarder<Slot, LSTATUS(WINAPI*)(Args...)> {
    static LSTATUS WINAPI Call(Args... args) {
        ++State().calls;
        return reinterpret_cast<LSTATUS(WINAPI*)(Args...)>(State().targets[Slot])(args...);
    }
};

template <std::size_t Slot, typename Function>
ULONG_PTR CountingEntry(Function) {
    return reinterpret_cast<ULONG_PTR>(&Forwarder<Slot, Function>::Call);
}

struct Import {
    std::string_view name;
    ULONG_PTR forwarder;
};

const std::array<Import, 9>& Imports() {
    static const std::array<Import, 9> imports{{
        {"RegOpenKeyExA", CountingEntry<0>(&RegOpenKeyExA)},
        {"RegCreateKeyExA", CountingEntry<1>(&RegCreateKeyExA)},
        {"RegCloseKey", CountingEntry<2>(&RegCloseKey)},
        {"RegEnumValueA", CountingEntry<3>(&RegEnumValueA)},
        {"RegEnumKeyExA", CountingEntry<4>(&RegEnumKeyExA)},
        {"RegDeleteValueA", CountingEntry<5>(&RegDeleteValueA)},
        {"RegDeleteKeyA", CountingEntry<6>(&RegDeleteKeyA)},
        {"RegQueryValueExA", CountingEntry<7>(&RegQueryValueExA)},
        {"RegSetValueExA", CountingEntry<8>(&RegSetValueExA)},
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

bool StartCounting() {
    auto* const image = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(image + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (directory.VirtualAddress == 0) {
        return false;
    }

    // The names come from the lookup table, the entries to rewrite from the
    // address table beside it; the loader has filled in only the latter.
    std::array<ULONG_PTR*, 9> entries{};
    for (auto* library =
             reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(image + directory.VirtualAddress);
         library->Name != 0; ++library) {
        if (_stricmp(reinterpret_cast<const char*>(image + library->Name), "advapi32.dll") != 0 ||
            library->OriginalFirstThunk == 0) {
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
                if (Imports()[slot].name == name) {
                    entries[slot] = reinterpret_cast<ULONG_PTR*>(&address->u1.Function);
                }
            }
        }
    }
    for (const ULONG_PTR* entry : entries) {
        if (!entry) {
            return false;
        }
    }
    for (std::size_t slot = 0; slot < entries.size(); ++slot) {
        State().targets[slot] = *entries[slot];
        if (!Rewrite(*entries[slot], Imports()[slot].forwarder)) {
            return false;
        }
    }
    Reset();
    return true;
}

std::uint64_t Count() {
    return State().calls;
}

void Reset() {
    State().calls = 0;
}

} // namespace RegistryCalls
