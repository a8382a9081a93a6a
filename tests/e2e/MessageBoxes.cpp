#include "tests/e2e/MessageBoxes.h"

#include <algorithm>

namespace MessageBoxes {
namespace {

constexpr wchar_t DialogClass[] = L"#32770";
constexpr UINT TextPatienceMs = 5000;

std::wstring ClassOf(HWND window) {
    wchar_t name[64]{};
    const int length = GetClassNameW(window, name, static_cast<int>(std::size(name)));
    return std::wstring(name, static_cast<std::size_t>(std::max(length, 0)));
}

// WM_GETTEXT rather than GetWindowTextW: the latter does not read the text
// of another process's controls.
std::wstring TextOf(HWND window) {
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, TextPatienceMs,
                             &length)) {
        return L"<no answer>";
    }
    std::wstring text(length + 1, L'\0');
    DWORD_PTR copied = 0;
    SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                        SMTO_ABORTIFHUNG, TextPatienceMs, &copied);
    text.resize(copied);
    return text;
}

LONG StyleOf(HWND window) {
    return GetWindowLongW(window, GWL_STYLE);
}

struct Search {
    DWORD processId;
    std::wstring_view title;
    HWND found = nullptr;
};

BOOL CALLBACK CheckTopLevel(HWND window, LPARAM context) {
    auto& search = *reinterpret_cast<Search*>(context);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == search.processId && IsWindowVisible(window) && ClassOf(window) == DialogClass &&
        TextOf(window) == search.title) {
        search.found = window;
        return FALSE;
    }
    return TRUE;
}

struct Reading {
    View view;
    std::wstring text;
};

BOOL CALLBACK ReadControl(HWND control, LPARAM context) {
    auto& reading = *reinterpret_cast<Reading*>(context);
    if (!IsWindowVisible(control)) {
        return TRUE;
    }
    const std::wstring kind = ClassOf(control);
    const LONG style = StyleOf(control);
    if (kind == L"Button") {
        const int id = GetDlgCtrlID(control);
        reading.view.buttons.push_back(id);
        if ((style & BS_TYPEMASK) == BS_DEFPUSHBUTTON) {
            reading.view.defaultButton = id;
        }
    } else if (kind == L"Static" && (style & SS_TYPEMASK) != SS_ICON) {
        // A box has one text; should there be more, all show up in a failure.
        const std::wstring text = TextOf(control);
        if (!text.empty()) {
            reading.text += reading.text.empty() ? text : L" | " + text;
        }
    }
    return TRUE;
}

} // namespace

HWND Find(DWORD processId, std::wstring_view title) {
    Search search{processId, title};
    EnumWindows(CheckTopLevel, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

View Read(HWND box) {
    Reading reading;
    EnumChildWindows(box, ReadControl, reinterpret_cast<LPARAM>(&reading));
    reading.view.text = Utf8(reading.text);
    std::sort(reading.view.buttons.begin(), reading.view.buttons.end());
    return reading.view;
}

void Give(HWND box, Answer answer) {
    switch (answer) {
    case Answer::OkButton:
    case Answer::CancelButton: {
        const int id = answer == Answer::OkButton ? IDOK : IDCANCEL;
        PostMessageW(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(box, id)));
        break;
    }
    case Answer::EnterKey:
    case Answer::EscapeKey:
        // The box's own message loop sends keys through IsDialogMessage,
        // which is where Enter finds the default button and Escape cancels.
        PostMessageW(box, WM_KEYDOWN, answer == Answer::EnterKey ? VK_RETURN : VK_ESCAPE, 1);
        break;
    case Answer::CloseBox:
        PostMessageW(box, WM_CLOSE, 0, 0);
        break;
    }
}

std::string Utf8(std::wstring_view text) {
    if (text.empty()) {
        return {};
    }
    const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string converted(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), converted.data(),
                        length, nullptr, nullptr);
    return converted;
}

} // namespace MessageBoxes
