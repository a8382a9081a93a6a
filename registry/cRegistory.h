#pragma once

#include <concepts>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Predefined registry roots, with the platform's values.
enum class RootKey : std::uint32_t {
    ClassesRoot = 0x80000000,
    CurrentUser = 0x80000001,
    LocalMachine = 0x80000002,
    Users = 0x80000003,
    CurrentConfig = 0x80000005,
};

// What IsLinkKey can tell of a subkey. A subkey that is not there is not a
// link; one that cannot be opened as itself, or whose place cannot be
// proven, cannot be told.
enum class LinkTest { NotALink, Link, CannotTell };

// The byte count handed to SetBinary, given as a number or as text.
// A whole number converts when it lies in the 32-bit signed range. A text
// converts when it is a decimal whole number in that range: ASCII digits,
// an optional leading '+' or '-', surrounded by any number of spaces.
// Anything else (empty text, other characters, fractions, out of range)
// cannot be converted.
class ValueLength {
public:
    template <std::integral Number>
    requires(!std::same_as<Number, bool>) ValueLength(Number number) {
        if (std::in_range<std::int32_t>(number)) {
            converted_ = static_cast<std::int32_t>(number);
        }
    }
    ValueLength(std::u16string_view text);
    ValueLength(const std::u16string& text) : ValueLength(std::u16string_view(text)) {}
    ValueLength(const char16_t* text);

    std::optional<std::int32_t> ToInt32() const { return converted_; }

private:
    std::optional<std::int32_t> converted_;
};

// Addresses one key by a root and a path below it, and performs one registry
// operation on it per call. No handle is held between calls: every operation
// opens (or, for writes, creates) the key and closes it before returning.
class cRegistory {
public:
    virtual void RegKey(RootKey enmNewValue);
    virtual RootKey RegKey() const;
    virtual void SubKey(const std::u16string& strNewValue);
    virtual std::u16string SubKey() const;

    virtual bool IsThereKey();
    virtual std::int32_t EnumValueName(std::vector<std::u16string>& strlpEnumValueName);
    virtual std::int32_t EnumSubKey(std::vector<std::u16string>& strlpEnumKey);
    virtual bool DeleteSubKey(const std::u16string& strSubKey);
    virtual bool DeleteValueName(const std::u16string& strValueName);

    virtual std::u16string GetString(const std::u16string& strValueName,
                                     const std::u16string& strDefault = u"");
    virtual bool SetString(const std::u16string& strValueName, const std::u16string& strNewValue);
    virtual std::int32_t GetDWORD(const std::u16string& strValueName, std::int32_t lngDefault = 0);
    virtual bool SetDWORD(const std::u16string& strValueName, std::int32_t lngNewValue);
    virtual std::int32_t GetBinary(const std::u16string& strValueName,
                                   std::vector<std::uint8_t>& bytValue);
    virtual bool SetBinary(const std::u16string& strValueName,
                           const std::vector<std::uint8_t>& bytValue, ValueLength lngValueLen);

    // Whether the subkey `strSubKey` of the addressed key is a registry link,
    // which stands for another key that it is not part of.
    virtual LinkTest IsLinkKey(const std::u16string& strSubKey);

    virtual ~cRegistory() = default;

private:
    RootKey rootKey_ = RootKey::CurrentUser;
    std::u16string subKey_;
};
