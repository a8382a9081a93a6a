#include "platform/AnsiCodePage.h"

#include <windows.h>

#include <limits>
#include <stdexcept>

namespace AnsiCodePage {
namespace {

// Code pages for which WideCharToMultiByte rejects the default-character
// arguments and WC_NO_BEST_FIT_CHARS; only invalid input can be detected there.
bool AllowsDefaultCharFlags(UINT codePage) {
    switch (codePage) {
    case CP_UTF7:
    case CP_UTF8:
    case 42: // symbol
    case 50220:
    case 50221:
    case 50222:
    case 50225:
    case 50227:
    case 50229:
    case 52936:
    case 54936:
        return false;
    default:
        return !(codePage >= 57002 && codePage <= 57011);
    }
}

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
    const UINT codePage = GetACP();
    const bool flagsAllowed = AllowsDefaultCharFlags(codePage);
    const DWORD flags =
        flagsAllowed ? WC_NO_BEST_FIT_CHARS : (codePage == CP_UTF8 ? WC_ERR_INVALID_CHARS : 0);

    BOOL usedDefault = FALSE;
    int size = WideCharToMultiByte(CP_ACP, flags, wide, wideLength, nullptr, 0, nullptr,
                                   flagsAllowed ? &usedDefault : nullptr);
    if (size == 0 && codePage == CP_UTF8) {
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
                        flagsAllowed ? &usedDefault : nullptr);
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
