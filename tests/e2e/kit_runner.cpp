// The test kit's runner, which run-tests.cmd starts: runs the suites of each
// architecture this Windows can run against the kit's programs (or the
// suites of one program's architecture, given its path), writes report\ in
// the kit's folder, and leaves the current user's registry as it found it.
//   kit_runner.exe [path\to\orrelin_regdel.exe]
// Exit status: 0 when every test passed, 1 when any failed or the run was
// interrupted, 2 when it did not start.
//
// What the suites make outside keys of their own is recorded in a mark key
// before any suite starts, each item by its full object name, and only
// while absent. A run that was cut short leaves the mark; the next one
// removes each recorded item that it can prove to be test data: the same
// object (no link on the way), written no later than the run was last seen
// alive, and for values the data the tests write. Anything else is left and
// named. The mark goes only once every item is gone or disowned.
#include "tests/e2e/ImageHeaders.h"
#include "tests/e2e/KeyRemoval.h"
#include "tests/e2e/MessageBoxes.h"
#include "tests/support/ObjectNames.h"

#include <windows.h>

#include <tlhelp32.h>
#include <winternl.h>

#include <algorithm>
#include <cstdint>
#include <cwctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace {

using KeyRemoval::Key;
namespace fs = std::filesystem;

constexpr wchar_t Folder[] = L"Software\\VB and VBA Program Settings";
constexpr wchar_t Settings[] = L"Software\\VB and VBA Program Settings\\Orrelin";
constexpr wchar_t Mark[] = L"Software\\orrelin_regdel test kit";
constexpr wchar_t AliveUntil[] = L"alive until";
// What marks report\ as the kit's own, so that it is the only folder the kit
// ever empties.
constexpr wchar_t ReportMark[] = L"made by orrelin_regdel test kit.txt";

// The suites' own items outside keys of their own: Orrelin's settings, the
// folder above them, neighbours named as no program names its key, and
// values of theirs. The folder comes last, as it goes only once empty.
struct Item {
    std::wstring key;
    std::wstring value;               // "" for the key itself
    std::vector<std::wstring> writes; // what the tests store in the value
};

std::vector<Item> Items() {
    const std::wstring folder = Folder;
    return {{Settings, L"", {}},
            {folder + L"\\orrelin_regdel test OtherProgram", L"", {}},
            {folder + L"\\Orrelin2 (orrelin_regdel test)", L"", {}},
            {folder + L"\\別のプログラム (orrelin_regdel test)", L"", {}},
            {folder + L"\\Orrelin Viewer (orrelin_regdel test)", L"", {}},
            {folder + L"\\orrelin_regdel test foreign", L"", {}},
            {folder + L"\\orrelin_regdel test nowhere", L"", {}},
            {L"Software\\orrelin_regdel tests", L"", {}},
            {L"Software\\orrelin_regdel e2e", L"", {}},
            {L"", L"orrelin_regdel test value", {L"x"}},
            {folder, L"orrelin_regdel test value", {L"stays"}},
            {folder, L"", {}}};
}

// The journal's name for an item, which its entry in the mark is called by.
std::wstring EntryName(const Item& item) {
    return item.value.empty() ? L"key " + item.key : L"value " + item.key + L"|" + item.value;
}

std::uint64_t Now() {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    return (std::uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime;
}

// A killed run's programs end with it (see Job), within this of its last
// heartbeat: anything written later is not the tests'.
constexpr std::uint64_t Margin = 2 * 10'000'000ULL;

bool SameName(const std::wstring& a, const std::wstring& b) {
    return a.size() == b.size() && _wcsicmp(a.c_str(), b.c_str()) == 0;
}

// --- Output: the console in UTF-16, a pipe or file in UTF-8; each line also
// goes to summary.txt (UTF-8) once the report folder is there.
std::ofstream summary;

void Say(const std::wstring& line) {
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    DWORD written = 0;
    const std::string utf8 = MessageBoxes::Utf8(line) + "\r\n";
    if (GetConsoleMode(out, &mode)) {
        const std::wstring text = line + L"\r\n";
        WriteConsoleW(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    } else {
        WriteFile(out, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
    }
    if (summary.is_open()) {
        summary << utf8 << std::flush;
    }
}

// --- The report folder, in the kit's own folder.
bool PrepareReport(const fs::path& report) {
    const DWORD attributes = GetFileAttributesW(report.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        std::error_code error;
        if (!fs::create_directory(report, error)) {
            Say(L"Not started: cannot make the folder " + report.wstring());
            return false;
        }
        std::ofstream(report / ReportMark)
            << "orrelin_regdel's test kit made this folder, and empties it on each run.\r\n";
    } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
               (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
               GetFileAttributesW((report / ReportMark).c_str()) == INVALID_FILE_ATTRIBUTES) {
        Say(L"Not started: " + report.wstring() +
            L" is there and was not made by this kit; move it elsewhere first.");
        return false;
    } else {
        // Its files only, never a folder or what a link leads to.
        WIN32_FIND_DATAW found{};
        const HANDLE search = FindFirstFileW((report / L"*").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                if ((found.dwFileAttributes &
                     (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
                    !SameName(found.cFileName, ReportMark)) {
                    DeleteFileW((report / found.cFileName).c_str());
                }
            } while (FindNextFileW(search, &found));
            FindClose(search);
        }
    }
    summary.open(report / L"summary.txt", std::ios::binary | std::ios::trunc);
    if (!summary) {
        Say(L"Not started: cannot write " + (report / L"summary.txt").wstring());
        return false;
    }
    summary << "\xEF\xBB\xBF"; // UTF-8, as Notepad reads it on every Windows
    return true;
}

// --- The mark key: the run's journal and heartbeat.
Key OpenMark(REGSAM access) {
    return KeyRemoval::OpenItself(HKEY_CURRENT_USER, Mark, access);
}

void Heartbeat() {
    const Key mark = OpenMark(KEY_SET_VALUE);
    const std::uint64_t until = Now() + Margin;
    if (mark) {
        RegSetValueExW(mark.get(), AliveUntil, 0, REG_QWORD, reinterpret_cast<const BYTE*>(&until),
                       sizeof until);
    }
}

std::wstring ReadText(HKEY key, const std::wstring& name, DWORD* type = nullptr) {
    DWORD size = 0;
    DWORD kind = REG_NONE;
    if (RegQueryValueExW(key, name.c_str(), nullptr, &kind, nullptr, &size) != ERROR_SUCCESS) {
        return {};
    }
    std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
    size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    RegQueryValueExW(key, name.c_str(), nullptr, &kind, reinterpret_cast<BYTE*>(text.data()),
                     &size);
    text.resize(size / sizeof(wchar_t));
    while (!text.empty() && text.back() == L'\0') {
        text.pop_back();
    }
    if (type) {
        *type = kind;
    }
    return text;
}

// The full object name of the key at `path` below HKEY_CURRENT_USER, as it
// is when nothing on the way is a link.
std::wstring ObjectNameOf(const std::wstring& user, const std::wstring& path) {
    return path.empty() ? user : user + L"\\" + path;
}

// Whether the item is there at all: a key as itself, or the value.
bool Present(const Item& item) {
    const Key key = KeyRemoval::OpenItself(HKEY_CURRENT_USER, item.key, KEY_QUERY_VALUE);
    if (!key) {
        return false;
    }
    return item.value.empty() || RegQueryValueExW(key.get(), item.value.c_str(), nullptr, nullptr,
                                                  nullptr, nullptr) == ERROR_SUCCESS;
}

enum class Outcome { Gone, Disowned, Kept };

// Removes one recorded item if it is provably the tests'.
Outcome Remove(const Item& item, const std::wstring& recorded, std::uint64_t aliveUntil) {
    const std::wstring shown = L"HKEY_CURRENT_USER\\" + item.key;
    LSTATUS status = ERROR_SUCCESS;
    if (!item.value.empty()) {
        const Key key = KeyRemoval::OpenItself(HKEY_CURRENT_USER, item.key,
                                               KEY_QUERY_VALUE | KEY_SET_VALUE, &status);
        if (!key || !Present(item)) {
            return Outcome::Gone;
        }
        DWORD type = REG_NONE;
        const std::wstring data = ReadText(key.get(), item.value, &type);
        if (!SameName(ObjectName(key.get()), recorded) || type != REG_SZ ||
            std::find(item.writes.begin(), item.writes.end(), data) == item.writes.end()) {
            Say(L"  left: the value \"" + item.value + L"\" of " + shown +
                L" does not hold what the tests write");
            return Outcome::Disowned;
        }
        RegDeleteValueW(key.get(), item.value.c_str());
        return Present(item) ? Outcome::Kept : Outcome::Gone;
    }
    const Key key = KeyRemoval::OpenToRemove(HKEY_CURRENT_USER, item.key, &status);
    if (!key) {
        if (status == ERROR_FILE_NOT_FOUND) {
            return Outcome::Gone;
        }
        Say(L"  cannot open " + shown + L": status " + std::to_wstring(status));
        return Outcome::Kept;
    }
    if (!SameName(ObjectName(key.get()), recorded)) {
        Say(L"  left: " + shown + L" is reached through a link, not the key the tests made");
        return Outcome::Disowned;
    }
    const std::optional<std::uint64_t> written = KeyRemoval::LatestWrite(key.get());
    if (!written) {
        Say(L"  cannot read when " + shown + L" was written");
        return Outcome::Kept;
    }
    if (*written > aliveUntil) {
        Say(L"  left: " + shown + L" was written after the tests ended (restored, or by Orrelin)" +
            L"; any test data in it stays too");
        return Outcome::Disowned;
    }
    if (item.key == Folder &&
        (!KeyRemoval::Names(key.get(), true).empty() ||
         !KeyRemoval::Names(key.get(), false).empty() || KeyRemoval::IsLink(key.get()))) {
        return Outcome::Disowned; // other programs keep their settings there now
    }
    if (const std::wstring failed = KeyRemoval::RemoveTree(key.get(), shown); !failed.empty()) {
        Say(L"  " + failed);
        return Outcome::Kept;
    }
    return Present(item) ? Outcome::Kept : Outcome::Gone;
}

// Removes what the journal records, in the items' order, and drops the mark
// once every entry is settled. False when something provably the tests'
// is still there.
bool CleanUp(std::uint64_t aliveUntil) {
    const Key mark = OpenMark(KEY_QUERY_VALUE | KEY_SET_VALUE);
    if (!mark) {
        return true;
    }
    bool settled = true;
    for (const Item& item : Items()) {
        DWORD type = REG_NONE;
        const std::wstring name = EntryName(item);
        const std::wstring recorded = ReadText(mark.get(), name, &type);
        if (type != REG_SZ || recorded.empty()) {
            continue;
        }
        if (Remove(item, recorded, aliveUntil) == Outcome::Kept) {
            settled = false;
        } else {
            RegDeleteValueW(mark.get(), name.c_str());
        }
    }
    std::vector<std::wstring> left = KeyRemoval::Names(mark.get(), false);
    std::erase_if(left, [](const std::wstring& name) { return SameName(name, AliveUntil); });
    if (!settled || !left.empty()) {
        return false;
    }
    RegDeleteValueW(mark.get(), AliveUntil);
    const Key itself = KeyRemoval::OpenToRemove(HKEY_CURRENT_USER, Mark);
    return itself && KeyRemoval::RemoveTree(itself.get(), Mark).empty();
}

std::uint64_t RecordedAliveUntil() {
    const Key mark = OpenMark(KEY_QUERY_VALUE);
    std::uint64_t until = 0;
    DWORD size = sizeof until;
    DWORD type = REG_NONE;
    if (!mark ||
        RegQueryValueExW(mark.get(), AliveUntil, nullptr, &type, reinterpret_cast<BYTE*>(&until),
                         &size) != ERROR_SUCCESS ||
        type != REG_QWORD) {
        return 0; // nothing written after the mark was made counts as test data
    }
    return until;
}

// Records every item that is not there yet, before any suite starts.
bool Record(const std::wstring& user) {
    HKEY created = nullptr;
    DWORD disposition = 0;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, Mark, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &created,
                        &disposition) != ERROR_SUCCESS) {
        return false;
    }
    const Key mark(created);
    Heartbeat();
    for (const Item& item : Items()) {
        if (Present(item)) {
            continue;
        }
        const std::wstring name = ObjectNameOf(user, item.key);
        if (RegSetValueExW(mark.get(), EntryName(item).c_str(), 0, REG_SZ,
                           reinterpret_cast<const BYTE*>(name.c_str()),
                           static_cast<DWORD>((name.size() + 1) * sizeof(wchar_t))) !=
            ERROR_SUCCESS) {
            return false;
        }
    }
    return disposition == REG_CREATED_NEW_KEY;
}

// What lies beside the items, which the run must leave as it found it.
std::vector<std::wstring> Surroundings() {
    std::vector<std::wstring> names;
    for (const wchar_t* path : {L"", L"Software", Folder}) {
        const Key key = KeyRemoval::OpenItself(HKEY_CURRENT_USER, path,
                                               KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS);
        for (const bool subkeys : {false, true}) {
            for (const std::wstring& name :
                 key ? KeyRemoval::Names(key.get(), subkeys) : std::vector<std::wstring>{}) {
                names.push_back(std::wstring(path) + (subkeys ? L"\\" : L"|") + name);
            }
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

// --- The suites.

// Ctrl+C, Ctrl+Break and closing the window: the current suite and what it
// started end, the test data goes, and the run stops.
HANDLE interrupted = nullptr;
HANDLE finished = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD event) {
    SetEvent(interrupted);
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) {
        // Windows ends the process once this returns, or after 5 s.
        WaitForSingleObject(finished, 4500);
    }
    return TRUE;
}

struct HandleCloser {
    void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using Handle = std::unique_ptr<std::remove_pointer_t<HANDLE>, HandleCloser>;

// The suite and every program it starts: they all end when the job is closed,
// which Windows does for the runner too if it is killed.
Handle Job() {
    Handle job(CreateJobObjectW(nullptr, nullptr));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!job || !SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                         sizeof limits)) {
        return nullptr;
    }
    return job;
}

// The runner's environment without what changes how a suite runs or is
// judged: GoogleTest's settings and a variable named ERRORLEVEL.
std::vector<wchar_t> CleanEnvironment() {
    std::vector<wchar_t> block;
    wchar_t* all = GetEnvironmentStringsW();
    for (const wchar_t* entry = all; entry && *entry; entry += wcslen(entry) + 1) {
        std::wstring upper(entry);
        upper = upper.substr(0, upper.find(L'=', 1));
        std::transform(upper.begin(), upper.end(), upper.begin(), towupper);
        if (upper.rfind(L"GTEST_", 0) == 0 || upper == L"ERRORLEVEL") {
            continue;
        }
        block.insert(block.end(), entry, entry + wcslen(entry) + 1);
    }
    FreeEnvironmentStringsW(all);
    block.push_back(L'\0');
    return block;
}

struct Counts {
    int passed = 0;
    int failed = 0;
    int skipped = 0;
};

std::wstring Wide(const std::string& utf8) {
    std::wstring wide(utf8.size(), L'\0');
    wide.resize(static_cast<std::size_t>(
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(),
                            static_cast<int>(wide.size()))));
    return wide;
}

std::string Attribute(const std::string& tag, const std::string& name) {
    const std::string key = " " + name + "=\"";
    const std::size_t start = tag.find(key);
    if (start == std::string::npos) {
        return {};
    }
    const std::size_t from = start + key.size();
    std::string text = tag.substr(from, tag.find('"', from) - from);
    const std::pair<std::string, std::string> entities[] = {
        {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&apos;", "'"}, {"&amp;", "&"}};
    for (const auto& [entity, character] : entities) {
        for (std::size_t at = 0; (at = text.find(entity, at)) != std::string::npos; ++at) {
            text.replace(at, entity.size(), character);
        }
    }
    return text;
}

// Counts a suite's JUnit XML, naming each failed and skipped case; empty if
// there is none.
std::optional<Counts> ReadXml(const fs::path& xml, const std::wstring& prefix) {
    std::ifstream file(xml, std::ios::binary);
    if (!file) {
        return std::nullopt;
    }
    const std::string text(std::istreambuf_iterator<char>(file), {});
    Counts counts;
    for (std::size_t at = text.find("<testcase "); at != std::string::npos;) {
        const std::size_t next = text.find("<testcase ", at + 1);
        const std::string tag = text.substr(at, text.find('>', at) - at);
        const std::string body = text.substr(at, next == std::string::npos ? next : next - at);
        const std::wstring name = Wide(Attribute(tag, "classname") + "." + Attribute(tag, "name"));
        if (body.find("<failure") != std::string::npos) {
            ++counts.failed;
            Say(prefix + L"failed: " + name);
        } else if (Attribute(tag, "result") == "skipped" || Attribute(tag, "status") == "notrun") {
            ++counts.skipped;
            Say(prefix + L"skipped: " + name);
        } else {
            ++counts.passed;
        }
        at = next;
    }
    return counts;
}

std::wstring Quoted(const std::wstring& argument) {
    return L"\"" + argument + L"\"";
}

bool UnderWine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

// The reason this Windows cannot run programs of `architecture`, or "".
std::wstring PlatformCannotRun(const std::wstring& architecture, DWORD startError) {
    // Both from Windows 10 on; looked up, as older headers lack them.
    const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    using Machines = BOOL(WINAPI*)(HANDLE, USHORT*, USHORT*);
    using Version = LONG(WINAPI*)(OSVERSIONINFOW*);
    const auto machines = reinterpret_cast<Machines>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "IsWow64Process2")));
    const auto version =
        reinterpret_cast<Version>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
    USHORT process = 0;
    USHORT native = 0;
    if (!machines || !machines(GetCurrentProcess(), &process, &native)) {
        return {};
    }
    if (native == IMAGE_FILE_MACHINE_UNKNOWN) {
        native = process; // not under WoW64: the process's own
    }
    if (architecture == L"x64" && native == IMAGE_FILE_MACHINE_I386) {
        return L"32-bit Windows cannot run x64 programs";
    }
    if (architecture == L"x64" && native == IMAGE_FILE_MACHINE_ARM64) {
        OSVERSIONINFOW windows{sizeof windows, 0, 0, 0, 0, {}};
        if (version && version(&windows) == 0 && windows.dwBuildNumber < 22000) {
            return L"ARM64 Windows 10 cannot run x64 programs";
        }
    }
    if (architecture == L"x86" && native == IMAGE_FILE_MACHINE_AMD64 && !UnderWine() &&
        (startError == ERROR_BAD_EXE_FORMAT || startError == ERROR_EXE_MACHINE_TYPE_MISMATCH)) {
        return L"this Windows runs no 32-bit programs (WoW64 is not installed)";
    }
    return {};
}

struct Run {
    fs::path kit;
    fs::path report;
    Counts total;
    bool stopped = false;
};

// Suite `name` of `architecture`, given `program` where it takes one. Empty
// when the architecture cannot run here, with the reason.
std::optional<std::wstring> RunSuite(Run& run, const std::wstring& architecture,
                                     const std::wstring& name, const std::wstring& program) {
    const std::wstring base = architecture + L"-" + name;
    const fs::path exe = run.kit / architecture / (name + L".exe");
    const fs::path log = run.report / (base + L".txt");
    const fs::path xml = run.report / (base + L".xml");
    std::wstring commandLine = Quoted(exe.wstring()) + L" --gtest_color=no " +
                               Quoted(L"--gtest_output=xml:" + xml.wstring());
    if (!program.empty()) {
        commandLine += L" " + Quoted(program);
    }
    SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
    const Handle output(CreateFileW(log.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherited,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = output.get();
    startup.hStdError = output.get();
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(L'\0');
    std::vector<wchar_t> environment = CleanEnvironment();
    PROCESS_INFORMATION started{};
    const Handle job = Job();
    DWORD status = 0;
    std::wstring problem;
    if (output.get() == INVALID_HANDLE_VALUE || !job) {
        problem = L"cannot write its output or make its job";
    } else if (!CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, TRUE,
                               CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT, environment.data(),
                               nullptr, &startup, &started)) {
        const DWORD error = GetLastError();
        if (std::wstring reason = PlatformCannotRun(architecture, error); !reason.empty()) {
            return reason;
        }
        problem = L"cannot start it: error " + std::to_wstring(error);
    } else {
        const Handle process(started.hProcess);
        const Handle thread(started.hThread);
        if (!AssignProcessToJobObject(job.get(), process.get())) {
            TerminateProcess(process.get(), 1);
            problem = L"cannot hold it in a job: error " + std::to_wstring(GetLastError());
        } else {
            ResumeThread(thread.get());
            const HANDLE waits[] = {process.get(), interrupted};
            DWORD woke = WAIT_TIMEOUT;
            while ((woke = WaitForMultipleObjects(2, waits, FALSE, 250)) == WAIT_TIMEOUT) {
                Heartbeat();
            }
            if (woke != WAIT_OBJECT_0) {
                run.stopped = true;
                problem = L"interrupted";
            }
            TerminateJobObject(job.get(), 1); // what the suite started and left
            WaitForSingleObject(process.get(), 10000);
            GetExitCodeProcess(process.get(), &status);
        }
    }
    Counts counts;
    if (problem.empty()) {
        const std::optional<Counts> read = ReadXml(xml, L"    ");
        if (!read) {
            problem = L"it wrote no report";
        } else {
            counts = *read;
            // Failures outside any case (global set-up or tear-down) show only
            // in the exit status.
            if (status != 0 && counts.failed == 0) {
                problem = L"failed outside its cases";
            }
        }
    }
    if (!problem.empty()) {
        ++counts.failed;
        Say(L"    failed: " + name + L": " + problem);
    }
    run.total.passed += counts.passed;
    run.total.failed += counts.failed;
    run.total.skipped += counts.skipped;
    Say(L"  " + name + L": " + std::to_wstring(counts.passed) + L" passed, " +
        std::to_wstring(counts.failed) + L" failed, " + std::to_wstring(counts.skipped) +
        L" skipped (exit status " + std::to_wstring(status) + L"; report\\" + base + L".txt)");
    return std::nullopt;
}

void RunArchitecture(Run& run, const std::wstring& architecture, const std::wstring& given) {
    const std::wstring program =
        given.empty() ? (run.kit / architecture / L"orrelin_regdel.exe").wstring() : given;
    const std::wstring skipped = PlatformCannotRun(architecture, 0);
    if (!skipped.empty()) {
        Say(architecture + L": skipped: " + skipped + L".");
        return;
    }
    Say(architecture + L": testing " + program);
    const std::pair<const wchar_t*, bool> suites[] = {{L"accessor_tests", false},
                                                      {L"removal_tree_tests", false},
                                                      {L"removal_program_tests", true},
                                                      {L"release_checks", true}};
    for (const auto& [suite, takesProgram] : suites) {
        if (run.stopped) {
            return;
        }
        if (auto reason = RunSuite(run, architecture, suite, takesProgram ? program : L"")) {
            Say(architecture + L": skipped: " + *reason + L".");
            return;
        }
    }
}

// The architecture of the program at `path`, or "".
std::wstring ArchitectureOf(const std::wstring& path) {
    std::ifstream file(fs::path(path), std::ios::binary);
    const std::vector<char> bytes(std::istreambuf_iterator<char>(file), {});
    const ImageHeaders::Image image = ImageHeaders::Read(bytes);
    if (!file.is_open() || !image.error.empty()) {
        return {};
    }
    return image.machine == IMAGE_FILE_MACHINE_I386    ? L"x86"
           : image.machine == IMAGE_FILE_MACHINE_AMD64 ? L"x64"
                                                       : L"";
}

int Main(int argc, wchar_t** argv) {
    std::wstring self(32768, L'\0');
    self.resize(GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size())));
    Run run;
    run.kit = fs::path(self).parent_path().parent_path();
    run.report = run.kit / L"report";

    // One run at a time for the user, wherever they are logged on; a run that
    // was killed holds it no longer.
    const std::wstring user = CurrentUserObjectName();
    const std::wstring sid = user.substr(user.rfind(L'\\') + 1);
    const Handle lock(
        CreateMutexW(nullptr, FALSE, (L"Global\\orrelin_regdel test kit " + sid).c_str()));
    const DWORD locked = lock ? WaitForSingleObject(lock.get(), 0) : WAIT_FAILED;
    if (user.empty() || (locked != WAIT_OBJECT_0 && locked != WAIT_ABANDONED)) {
        Say(L"Not started: another run of the kit is going on for this user.");
        return 2;
    }
    if (!PrepareReport(run.report)) {
        return 2;
    }
    const Key earlier = OpenMark(KEY_QUERY_VALUE);
    if (earlier) {
        Say(L"An earlier run did not finish: removing the test data it left.");
        if (!CleanUp(RecordedAliveUntil())) {
            Say(L"Not started: the test data named above is still there. Run the kit again, "
                L"or delete it yourself if you are sure it is the tests'.");
            return 2;
        }
    }
    for (const Item& item : Items()) {
        if (item.key == Folder && item.value.empty()) {
            continue;
        }
        if (!Present(item)) {
            continue;
        }
        const std::wstring settings = std::wstring(L"HKCU\\") + Settings;
        const std::wstring backup = L"%USERPROFILE%\\orrelin settings before the test kit.reg";
        if (item.key == Settings) {
            Say(L"Not started: " + settings +
                L" exists, and these tests delete that key. Set Orrelin's settings aside "
                L"with: reg export \"" +
                settings + L"\" \"" + backup + L"\" /y && reg delete \"" + settings +
                L"\" /f; after the tests bring them back with: reg import \"" + backup + L"\"");
        } else {
            Say(L"Not started: HKEY_CURRENT_USER\\" + item.key +
                (item.value.empty() ? L"" : L" holds the value \"" + item.value + L"\",") +
                L" which the tests make and delete; it was not made by this kit. Delete it if a "
                L"test run outside the kit left it.");
        }
        return 2;
    }

    std::wstring given;
    std::wstring only;
    if (argc > 1) {
        given = fs::absolute(fs::path(argv[1])).wstring();
        only = ArchitectureOf(given);
        if (only.empty()) {
            Say(L"Not started: " + given + L" is not an x86 or x64 Windows program.");
            return 2;
        }
    }
    const std::vector<std::wstring> architectures =
        only.empty() ? std::vector<std::wstring>{L"x86", L"x64"} : std::vector<std::wstring>{only};

    const std::vector<std::wstring> before = Surroundings();
    if (!Record(user)) {
        Say(L"Not started: cannot record the test data in HKEY_CURRENT_USER\\" +
            std::wstring(Mark));
        CleanUp(Now());
        return 2;
    }
    Say(L"Close Orrelin while the tests run: they make and delete its settings.");
    for (const std::wstring& architecture : architectures) {
        RunArchitecture(run, architecture, given);
    }
    Heartbeat();
    const bool cleaned = CleanUp(Now() + Margin);
    if (!cleaned) {
        ++run.total.failed;
        Say(L"The test data named above is still there; the next run removes it.");
    } else if (const std::vector<std::wstring> after = Surroundings(); after != before) {
        ++run.total.failed;
        Say(L"The tests changed what lies beside their own keys and values:");
        std::vector<std::wstring> changed;
        std::set_symmetric_difference(before.begin(), before.end(), after.begin(), after.end(),
                                      std::back_inserter(changed));
        for (const std::wstring& name : changed) {
            Say(L"  HKEY_CURRENT_USER\\" + name);
        }
    }
    if (run.stopped) {
        Say(L"Interrupted.");
    }
    Say(std::to_wstring(run.total.passed) + L" passed, " + std::to_wstring(run.total.failed) +
        L" failed, " + std::to_wstring(run.total.skipped) + L" skipped");
    return run.total.failed > 0 || run.total.passed == 0 || run.stopped ? 1 : 0;
}

// Whether run-tests.cmd was double-clicked: Explorer starts it as
// cmd.exe /c ""...\run-tests.cmd" ", whose window closes as soon as the
// script ends.
bool DoubleClicked() {
    const Handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    DWORD parent = 0;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry);
         more && snapshot.get() != INVALID_HANDLE_VALUE;
         more = Process32NextW(snapshot.get(), &entry)) {
        if (entry.th32ProcessID == GetCurrentProcessId()) {
            parent = entry.th32ParentProcessID;
        }
    }
    const Handle cmd(parent ? OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, parent)
                            : nullptr);
    using Query = LONG(NTAPI*)(HANDLE, int, void*, ULONG, ULONG*);
    const auto query = reinterpret_cast<Query>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
    constexpr int ProcessCommandLineInformation = 60;
    std::vector<BYTE> buffer(65536);
    ULONG size = 0;
    if (!cmd || !query ||
        query(cmd.get(), ProcessCommandLineInformation, buffer.data(),
              static_cast<ULONG>(buffer.size()), &size) != 0) {
        return false;
    }
    const auto* line = reinterpret_cast<const UNICODE_STRING*>(buffer.data());
    std::wstring text(line->Buffer, line->Length / sizeof(wchar_t));
    std::transform(text.begin(), text.end(), text.begin(), towlower);
    return text.find(L" /c \"\"") != std::wstring::npos &&
           text.find(L"run-tests.cmd\"") != std::wstring::npos;
}

void KeepWindowOpen() {
    const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (!GetConsoleMode(in, &mode) || !DoubleClicked()) {
        return;
    }
    const std::wstring ask = L"Press Enter to close this window.\r\n";
    DWORD done = 0;
    WriteConsoleW(GetStdHandle(STD_OUTPUT_HANDLE), ask.data(), static_cast<DWORD>(ask.size()),
                  &done, nullptr);
    FlushConsoleInputBuffer(in);
    wchar_t answer[16];
    ReadConsoleW(in, answer, static_cast<DWORD>(std::size(answer)), &done, nullptr);
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    interrupted = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    finished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
    const int status = Main(argc, argv);
    SetEvent(finished);
    if (WaitForSingleObject(interrupted, 0) != WAIT_OBJECT_0) {
        KeepWindowOpen();
    }
    return status;
}
