#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Reads a Windows program file's headers without loading it: what it needs
// at load time (the libraries it imports, directly or delayed, and its
// subsystem), how it asks to be loaded, its sections and the build time in
// its header.
namespace ImageHeaders {

struct Section {
    std::string name; // long names resolved through the symbol string table
    std::uint32_t characteristics = 0;
};

struct Image {
    std::string error; // empty when the file read as a program image
    std::uint16_t machine = 0;
    std::uint16_t characteristics = 0;
    std::uint16_t dllCharacteristics = 0;
    std::uint16_t subsystem = 0;
    std::uint32_t timestamp = 0;
    std::uint32_t symbolTable = 0; // file offset of COFF symbols; 0 when stripped
    std::vector<Section> sections;
    std::vector<std::string> imports;
};

Image Read(const std::vector<char>& file);

// kernel32, user32, advapi32 and the C runtime that Windows itself ships;
// not the runtime libraries of a compiler.
bool ComesWithWindows(const std::string& library);

// One that every Windows 10 and 11 takes from its known DLLs (or ntdll, which
// it maps into every process first), never from the program's own folder.
bool IsKnownDll(const std::string& library);

} // namespace ImageHeaders
