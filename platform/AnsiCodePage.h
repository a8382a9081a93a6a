#pragma once

#include <string>
#include <string_view>

// Conversion between the system's UTF-16 text and the bytes of the ANSI code
// page, which is what the registry functions we call take and return.
namespace AnsiCodePage {

struct Encoded {
    std::string bytes;
    // False when some character had no exact form in the code page and was
    // replaced (default character or best-fit mapping). Such bytes may name
    // something other than what the caller meant.
    bool exact = true;
};

Encoded ToAnsi(std::u16string_view text);

// Bytes the code page cannot decode become the platform's replacement character.
std::u16string FromAnsi(std::string_view bytes);

} // namespace AnsiCodePage
