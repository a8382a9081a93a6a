#pragma once

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

// Finds, reads and answers another process's message boxes from outside,
// as a user would see and press them.
namespace MessageBoxes {

// What a box shows. Text is UTF-8 so failures print readably.
struct View {
    std::string text;
    std::vector<int> buttons; // control ids of the visible buttons, ascending
    int defaultButton = 0;    // id of the button drawn as the default, 0 if none
};

enum class Answer { OkButton, CancelButton, EnterKey, EscapeKey, CloseBox };

// The visible dialog-class window of `processId` with this title, or null.
HWND Find(DWORD processId, std::wstring_view title);

View Read(HWND box);

// Posted, so a box that stopped responding cannot block the caller.
void Give(HWND box, Answer answer);

std::string Utf8(std::wstring_view text);

} // namespace MessageBoxes
