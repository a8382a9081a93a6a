// Stands for a DLL that a web page left in the Downloads folder, under the
// name of one that the program's message boxes load. Once loaded it leaves
// a mark beside itself, its own path with ".loaded" added, and refuses to
// stay, so that nothing of it runs in the program beyond that.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH) {
        return TRUE;
    }
    constexpr wchar_t Suffix[] = L".loaded";
    wchar_t mark[MAX_PATH + sizeof(Suffix) / sizeof(wchar_t)] = {};
    const DWORD length = GetModuleFileNameW(self, mark, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
        lstrcatW(mark, Suffix);
        const HANDLE file = CreateFileW(mark, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
        }
    }
    return FALSE;
}
