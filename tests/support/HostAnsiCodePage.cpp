// Host stand-in for the ANSI code page: code page 932, as on a Japanese
// Windows, through iconv. Unmappable characters become '?', as Windows'
// default character does, and make the result inexact.
#include "platform/AnsiCodePage.h"

#include <iconv.h>

#include <cerrno>
#include <memory>
#include <stdexcept>

namespace AnsiCodePage {
namespace {

struct IconvCloser {
    void operator()(iconv_t cd) const { iconv_close(cd); }
};
using Converter = std::unique_ptr<std::remove_pointer_t<iconv_t>, IconvCloser>;

Converter MakeConverter(const char* to, const char* from) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        throw std::runtime_error("iconv cannot convert between CP932 and UTF-16LE");
    }
    return Converter(cd);
}

// Converts one piece; returns how many input bytes were consumed.
std::size_t Convert(iconv_t cd, const char* in, std::size_t inSize, std::string& out) {
    char buffer[256];
    auto* inPtr = const_cast<char*>(in);
    std::size_t inLeft = inSize;
    while (inLeft > 0) {
        char* outPtr = buffer;
        std::size_t outLeft = sizeof buffer;
        const std::size_t rc = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
        out.append(buffer, static_cast<std::size_t>(outPtr - buffer));
        if (rc == static_cast<std::size_t>(-1) && errno != E2BIG) {
            break;
        }
    }
    return inSize - inLeft;
}

bool IsHighSurrogate(char16_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool IsLowSurrogate(char16_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

} // namespace

Encoded ToAnsi(std::u16string_view text) {
    const Converter cd = MakeConverter("CP932", "UTF-16LE");
    Encoded result;
    std::string littleEndian;
    for (const char16_t c : text) {
        littleEndian.push_back(static_cast<char>(c & 0xFF));
        littleEndian.push_back(static_cast<char>(c >> 8));
    }
    std::size_t pos = 0;
    while (pos < littleEndian.size()) {
        pos +=
            Convert(cd.get(), littleEndian.data() + pos, littleEndian.size() - pos, result.bytes);
        if (pos < littleEndian.size()) {
            // One character without a form in the code page (a pair of
            // surrogates counts as one).
            const std::size_t unit = pos / 2;
            const bool pair = IsHighSurrogate(text[unit]) && unit + 1 < text.size() &&
                              IsLowSurrogate(text[unit + 1]);
            result.bytes.push_back('?');
            result.exact = false;
            pos += pair ? 4 : 2;
            iconv(cd.get(), nullptr, nullptr, nullptr, nullptr);
        }
    }
    return result;
}

std::u16string FromAnsi(std::string_view bytes) {
    const Converter cd = MakeConverter("UTF-16LE", "CP932");
    std::string littleEndian;
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        pos += Convert(cd.get(), bytes.data() + pos, bytes.size() - pos, littleEndian);
        if (pos < bytes.size()) {
            littleEndian.append("\xFB\x30", 2); // U+30FB, Windows' default for 932
            ++pos;
            iconv(cd.get(), nullptr, nullptr, nullptr, nullptr);
        }
    }
    std::u16string text;
    for (std::size_t i = 0; i + 1 < littleEndian.size(); i += 2) {
        text.push_back(
            static_cast<char16_t>(static_cast<unsigned char>(littleEndian[i]) |
                                  (static_cast<unsigned char>(littleEndian[i + 1]) << 8)));
    }
    return text;
}

} // namespace AnsiCodePage
