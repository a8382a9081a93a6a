#include "platform/AnsiCodePage.h"

#include <windows.h>

#include <limits>
#include <stdexcept>

namespace AnsiCodePage {
namespace {

int CheckedLength(std::size_t size) {
    if (size > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        throw std::length_error("text too long for the code page conversion");
    }
    return static_cast<int>(size);
}

} // namespace

Encoded ToAnsi(std::u16string_view text) {
    Encoded result;
    if (text.empty()) {
        return result;
    }
    const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
    const int wideLength = CheckedLength(text.size());
    // A system's ANSI code page is a single- or double-byte one, whose best
    // fits and default character are reported, or UTF-8 (the option "Use
    // Unicode UTF-8 for worldwide language support"), which takes no such
    // arguments and where only a lone surrogate has no exact form.
    const bool utf8 = GetACP() == CP_UTF8;
    const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL usedDefault = FALSE;
    BOOL* const reportDefault = utf8 ? nullptr : &usedDefault;
    int size =
        WideCharToMultiByte(CP_ACP, flags, wide, wideLength, nullptr, 0, nullptr, reportDefault);
    if (size == 0 && utf8) {
        // Lone surrogates: convert anyway, but say the result is not exact.
        result.exact = false;
        size = WideCharToMultiByte(CP_ACP, 0, wide, wideLength, nullptr, 0, nullptr, nullptr);
        result.bytes.resize(static_cast<std::size_t>(size));
        WideCharToMultiByte(CP_ACP, 0, wide, wideLength, result.bytes.data(), size, nullptr,
                            nullptr);
        return result;
    }
    result.bytes.resize(static_cast<std::size_t>(size));
    WideCharToMultiByte(CP_ACP, flags, wide, wideLength, result.bytes.data(), size, nullptr,
                        reportDefault);
    result.exact = usedDefault == FALSE && size > 0;
    return result;
}

std::u16string FromAnsi(std::string_view bytes) {
    std::u16string text;
    if (bytes.empty()) {
        return text;
    }
    const int byteLength = CheckedLength(bytes.size());
    const int size = MultiByteToWideChar(CP_ACP, 0, bytes.data(), byteLength, nullptr, 0);
    text.resize(static_cast<std::size_t>(size));
    MultiByteToWideChar(CP_ACP, 0, bytes.data(), byteLength,
                        reinterpret_cast<wchar_t*>(text.data()), size);
    return text;
}

} // namespace AnsiCodePage
