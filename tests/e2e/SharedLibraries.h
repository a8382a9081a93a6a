#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Reads a Windows program file's headers for what it needs at load time,
// without loading it: the libraries it imports (directly or delayed), its
// subsystem and the build time in its header.
namespace SharedLibraries {

struct Image {
    std::string error; // empty when the file read as a program image
    std::uint16_t subsystem = 0;
    std::uint32_t timestamp = 0;
    std::vector<std::string> imports;
};

Image Read(const std::vector<char>& file);

// kernel32, user32, advapi32 and the C runtime that Windows itself ships;
// not the runtime libraries of a compiler.
bool ComesWithWindows(const std::string& library);

} // namespace SharedLibraries
