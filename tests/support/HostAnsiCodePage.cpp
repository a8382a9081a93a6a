// Host stand-in for the ANSI code page: code page 932, as on a Japanese
// Windows, through iconv, shaped to give what Windows' own conversion gives.
// No best-fit: a character whose bytes would read back as another character
// (iconv maps U+301C WAVE DASH to the bytes of U+FF5E, for one) becomes '?',
// Windows' default character, and makes the result inexact. So does each
// half of a surrogate pair. Bytes that cannot be decoded become U+30FB, a
// lead byte taking its trail byte (anything but NUL) with it.
#include "platform/AnsiCodePage.h"

#include <iconv.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <type_traits>

namespace AnsiCodePage {
namespace {

constexpr char16_t DefaultCharacter = 0x30FB;

// Single bytes that Windows' table for code page 932 maps and iconv's does not.
struct Extra {
    char16_t character;
    unsigned char byte;
};
constexpr Extra Extras[] = {
    {0x0080, 0x80}, {0xF8F0, 0xA0}, {0xF8F1, 0xFD}, {0xF8F2, 0xFE}, {0xF8F3, 0xFF}};

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

// Converts all of `in`; false when iconv stops at something it cannot take.
bool ConvertAll(iconv_t cd, std::string_view in, std::string& out) {
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    auto* inPtr = const_cast<char*>(in.data());
    std::size_t inLeft = in.size();
    while (inLeft > 0) {
        char buffer[256];
        char* outPtr = buffer;
        std::size_t outLeft = sizeof buffer;
        const std::size_t rc = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
        out.append(buffer, static_cast<std::size_t>(outPtr - buffer));
        if (rc == static_cast<std::size_t>(-1) && errno != E2BIG) {
            return false;
        }
    }
    return true;
}

// The converters speak UTF-16LE, which is how this (x86) host keeps char16_t.
static_assert(std::endian::native == std::endian::little);

std::string LittleEndian(std::u16string_view text) {
    std::string bytes(text.size() * 2, '\0');
    std::memcpy(bytes.data(), text.data(), bytes.size());
    return bytes;
}

std::u16string FromLittleEndian(const std::string& bytes) {
    std::u16string text(bytes.size() / 2, u'\0');
    std::memcpy(text.data(), bytes.data(), text.size() * 2);
    return text;
}

bool IsLeadByte(unsigned char byte) {
    return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

bool IsExtraByte(unsigned char byte) {
    return byte == 0x80 || byte == 0xA0 || byte >= 0xFD;
}

class Codec {
public:
    // Both directions, or nullopt when iconv cannot take all of it.
    std::optional<std::string> Encode(std::u16string_view text) const {
        std::string bytes;
        if (!ConvertAll(toAnsi_.get(), LittleEndian(text), bytes)) {
            return std::nullopt;
        }
        return bytes;
    }
    std::optional<std::u16string> Decode(std::string_view bytes) const {
        std::string littleEndian;
        if (!ConvertAll(fromAnsi_.get(), bytes, littleEndian)) {
            return std::nullopt;
        }
        return FromLittleEndian(littleEndian);
    }

    // One UTF-16 unit, when its bytes read back as itself.
    std::optional<std::string> EncodeExactly(char16_t c) const {
        for (const Extra& extra : Extras) {
            if (extra.character == c) {
                return std::string(1, static_cast<char>(extra.byte));
            }
        }
        const auto bytes = Encode(std::u16string_view(&c, 1));
        if (!bytes || Decode(*bytes) != std::u16string(1, c)) {
            return std::nullopt;
        }
        return bytes;
    }

    // The character at `pos`, which moves past its bytes.
    char16_t DecodeOne(std::string_view bytes, std::size_t& pos) const {
        const auto first = static_cast<unsigned char>(bytes[pos]);
        for (const Extra& extra : Extras) {
            if (extra.byte == first) {
                ++pos;
                return extra.character;
            }
        }
        const bool pair = IsLeadByte(first) && pos + 1 < bytes.size() && bytes[pos + 1] != '\0';
        if (IsLeadByte(first) && !pair) {
            ++pos; // a NUL is never a trail byte
            return DefaultCharacter;
        }
        const std::size_t length = pair ? 2 : 1;
        const auto text = Decode(bytes.substr(pos, length));
        pos += length;
        return text && text->size() == 1 ? (*text)[0] : DefaultCharacter;
    }

private:
    Converter toAnsi_ = MakeConverter("CP932", "UTF-16LE");
    Converter fromAnsi_ = MakeConverter("UTF-16LE", "CP932");
};

// Opening the converters costs more than most conversions; they are reset
// before each use, so one pair serves every call.
const Codec& TheCodec() {
    static const Codec codec;
    return codec;
}

} // namespace

Encoded ToAnsi(std::u16string_view text) {
    // ASCII is itself in code page 932.
    if (std::all_of(text.begin(), text.end(), [](char16_t c) { return c < 0x80; })) {
        return {std::string(text.begin(), text.end()), true};
    }
    const Codec& codec = TheCodec();
    // Most texts convert whole and read back unchanged; only the others need
    // a look at each character.
    if (const auto bytes = codec.Encode(text); bytes && codec.Decode(*bytes) == text) {
        return {*bytes, true};
    }
    Encoded result;
    for (const char16_t c : text) {
        if (const auto bytes = codec.EncodeExactly(c)) {
            result.bytes += *bytes;
        } else {
            result.bytes.push_back('?');
            result.exact = false;
        }
    }
    return result;
}

std::u16string FromAnsi(std::string_view bytes) {
    if (std::all_of(bytes.begin(), bytes.end(),
                    [](char byte) { return static_cast<unsigned char>(byte) < 0x80; })) {
        return std::u16string(bytes.begin(), bytes.end());
    }
    const Codec& codec = TheCodec();
    bool plain = true;
    for (const char byte : bytes) {
        plain = plain && !IsExtraByte(static_cast<unsigned char>(byte));
    }
    if (plain) {
        if (auto text = codec.Decode(bytes)) {
            return *text;
        }
    }
    std::u16string text;
    for (std::size_t pos = 0; pos < bytes.size();) {
        text.push_back(codec.DecodeOne(bytes, pos));
    }
    return text;
}

} // namespace AnsiCodePage
