#include "tests/e2e/ImageHeaders.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>
#include <string>

namespace ImageHeaders {
namespace {

constexpr std::uint32_t PeSignature = 0x00004550; // "PE\0\0"
constexpr std::uint16_t Pe32Magic = 0x10b;
constexpr std::uint16_t Pe32PlusMagic = 0x20b;
constexpr std::uint32_t ImportDirectory = 1;
constexpr std::uint32_t DelayImportDirectory = 13;

struct Placement {
    std::uint32_t address;
    std::uint32_t size;
    std::uint32_t offset;
};

// Little-endian reads that refuse to run past the end of the file.
class Bytes {
public:
    explicit Bytes(const std::vector<char>& file) : file_(file) {}

    std::uint32_t Read(std::size_t at, std::size_t width) const {
        if (at > file_.size() || width > file_.size() - at) {
            throw std::runtime_error("the headers point past the end of the file");
        }
        std::uint32_t value = 0;
        for (std::size_t i = width; i-- > 0;) {
            value = value << 8 | static_cast<unsigned char>(file_[at + i]);
        }
        return value;
    }
    std::uint16_t U16(std::size_t at) const { return static_cast<std::uint16_t>(Read(at, 2)); }
    std::uint32_t U32(std::size_t at) const { return Read(at, 4); }

    std::string Text(std::size_t at) const {
        std::string text;
        for (char c; (c = static_cast<char>(Read(at + text.size(), 1))) != '\0';) {
            text += c;
        }
        return text;
    }

private:
    const std::vector<char>& file_;
};

// A section name longer than eight characters is "/" and the decimal offset
// of the name in the string table that follows the COFF symbols.
std::string SectionName(const Bytes& bytes, std::size_t entry, std::size_t stringTable) {
    std::string name;
    for (std::size_t i = 0; i < 8; ++i) {
        const char c = static_cast<char>(bytes.Read(entry + i, 1));
        if (c == '\0') {
            break;
        }
        name += c;
    }
    if (name.size() < 2 || name.front() != '/' || stringTable == 0) {
        return name;
    }
    return bytes.Text(stringTable + std::stoul(name.substr(1)));
}

// The section table, read once: what each section is, and where it lies in
// memory and in the file.
class Layout {
public:
    Layout(const Bytes& bytes, std::size_t table, std::uint16_t count, std::size_t stringTable) {
        for (std::uint16_t i = 0; i < count; ++i) {
            const std::size_t entry = table + i * 40u;
            sections_.push_back({SectionName(bytes, entry, stringTable), bytes.U32(entry + 36)});
            placements_.push_back({bytes.U32(entry + 12),
                                   std::max(bytes.U32(entry + 8), bytes.U32(entry + 16)),
                                   bytes.U32(entry + 20)});
        }
    }

    const std::vector<Section>& Sections() const { return sections_; }

    std::size_t Offset(std::uint32_t address) const {
        for (const Placement& section : placements_) {
            if (address >= section.address && address - section.address < section.size) {
                return section.offset + (address - section.address);
            }
        }
        throw std::runtime_error("an import lies outside every section");
    }

private:
    std::vector<Section> sections_;
    std::vector<Placement> placements_;
};

// Descriptors of `size` bytes, each naming its library at `nameField`; a
// zero name ends the table.
void AddNames(const Bytes& bytes, const Layout& layout, std::uint32_t table, std::size_t size,
              std::size_t nameField, std::vector<std::string>& names) {
    if (table == 0) {
        return;
    }
    for (std::size_t entry = layout.Offset(table);; entry += size) {
        const std::uint32_t name = bytes.U32(entry + nameField);
        if (name == 0) {
            return;
        }
        names.push_back(bytes.Text(layout.Offset(name)));
    }
}

Image ReadHeaders(const Bytes& bytes) {
    Image image;
    const std::size_t pe = bytes.U32(0x3c);
    if (bytes.U16(0) != 0x5a4d || bytes.U32(pe) != PeSignature) {
        throw std::runtime_error("not a Windows program image");
    }
    const std::size_t coff = pe + 4;
    const std::size_t optional = coff + 20;
    image.machine = bytes.U16(coff);
    image.timestamp = bytes.U32(coff + 4);
    image.symbolTable = bytes.U32(coff + 8);
    image.characteristics = bytes.U16(coff + 18);
    const std::uint16_t magic = bytes.U16(optional);
    if (magic != Pe32Magic && magic != Pe32PlusMagic) {
        throw std::runtime_error("unknown optional header");
    }
    image.subsystem = bytes.U16(optional + 68);
    image.dllCharacteristics = bytes.U16(optional + 70);
    const std::size_t directories = optional + (magic == Pe32PlusMagic ? 112 : 96);
    const std::uint32_t directoryCount = bytes.U32(directories - 4);
    const std::size_t stringTable =
        image.symbolTable == 0 ? 0 : image.symbolTable + 18u * bytes.U32(coff + 12);
    const Layout layout(bytes, optional + bytes.U16(coff + 16), bytes.U16(coff + 2), stringTable);
    image.sections = layout.Sections();

    if (directoryCount > ImportDirectory) {
        AddNames(bytes, layout, bytes.U32(directories + 8 * ImportDirectory), 20, 12,
                 image.imports);
    }
    if (directoryCount > DelayImportDirectory) {
        AddNames(bytes, layout, bytes.U32(directories + 8 * DelayImportDirectory), 32, 4,
                 image.imports);
    }
    return image;
}

} // namespace

Image Read(const std::vector<char>& file) {
    try {
        return ReadHeaders(Bytes(file));
    } catch (const std::exception& error) {
        Image broken;
        broken.error = error.what();
        return broken;
    }
}

namespace {

std::string Lowercase(std::string name) {
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return name;
}

} // namespace

bool ComesWithWindows(const std::string& library) {
    const std::string name = Lowercase(library);
    return IsKnownDll(name) || name == "ucrtbase.dll" || name.rfind("api-ms-win-crt-", 0) == 0;
}

bool IsKnownDll(const std::string& library) {
    const std::string name = Lowercase(library);
    for (const char* known :
         {"kernel32.dll", "user32.dll", "advapi32.dll", "msvcrt.dll", "ntdll.dll"}) {
        if (name == known) {
            return true;
        }
    }
    return false;
}

} // namespace ImageHeaders
