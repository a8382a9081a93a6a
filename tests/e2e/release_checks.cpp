// What is checked on the built program before it is handed out: its
// version block, that it runs on a bare Windows of its architecture, how it
// asks to be loaded, that it ships without debug information, and its
// manifest. Reads the file only; the program is not started. Built for the
// same architecture as the program it checks.
#include "tests/e2e/ImageHeaders.h"
#include "tests/e2e/MessageBoxes.h"
#include "tests/e2e/ProgramUnderTest.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace {

std::vector<char> FileBytes(const std::wstring& path) {
    std::ifstream file(std::filesystem::path(path), std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(file), {});
}

class VersionBlock : public ::testing::Test {
protected:
    void SetUp() override {
        const std::wstring program = ProgramUnderTest();
        DWORD ignored = 0;
        block_.resize(GetFileVersionInfoSizeW(program.c_str(), &ignored));
        ASSERT_FALSE(block_.empty()) << "the program has no version block";
        ASSERT_TRUE(GetFileVersionInfoW(program.c_str(), 0, static_cast<DWORD>(block_.size()),
                                        block_.data()));
    }

    // The entry's bytes, empty when the block lacks it.
    std::vector<BYTE> Entry(const std::wstring& name) {
        void* data = nullptr;
        UINT length = 0;
        if (!VerQueryValueW(block_.data(), name.c_str(), &data, &length) || !data) {
            return {};
        }
        const auto* bytes = static_cast<const BYTE*>(data);
        return std::vector<BYTE>(bytes, bytes + length);
    }

    // A string entry in UTF-8, up to its NUL; "<missing>" when absent.
    std::string Text(const std::wstring& name) {
        void* data = nullptr;
        UINT length = 0;
        if (!VerQueryValueW(block_.data(), (L"\\StringFileInfo\\041104B0\\" + name).c_str(), &data,
                            &length) ||
            !data) {
            return "<missing>";
        }
        return MessageBoxes::Utf8(static_cast<const wchar_t*>(data));
    }

private:
    std::vector<BYTE> block_;
};

TEST_F(VersionBlock, NumbersAreOneZeroZeroZero) {
    const std::vector<BYTE> fixed = Entry(L"\\");
    ASSERT_EQ(fixed.size(), sizeof(VS_FIXEDFILEINFO));
    VS_FIXEDFILEINFO info{};
    std::copy(fixed.begin(), fixed.end(), reinterpret_cast<BYTE*>(&info));
    EXPECT_EQ(info.dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(info.dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(info.dwFileVersionLS, 0u);
    EXPECT_EQ(info.dwProductVersionMS, 0x00010000u);
    EXPECT_EQ(info.dwProductVersionLS, 0u);
    EXPECT_EQ(info.dwFileType, static_cast<DWORD>(VFT_APP));
}

TEST_F(VersionBlock, OnlyTranslationIsJapaneseUnicode) {
    // One pair of 16-bit words: language 0x0411, code page 1200.
    EXPECT_EQ(Entry(L"\\VarFileInfo\\Translation"), (std::vector<BYTE>{0x11, 0x04, 0xB0, 0x04}));
}

TEST_F(VersionBlock, TextsAreTheProductsOwn) {
    const std::string title = "「Orrelin」の設定の削除";
    EXPECT_EQ(Text(L"FileDescription"), title);
    EXPECT_EQ(Text(L"ProductName"), title);
    EXPECT_EQ(Text(L"FileVersion"), "1.00");
    EXPECT_EQ(Text(L"ProductVersion"), "1.00");
    EXPECT_EQ(Text(L"InternalName"), "orrelin_regdel");
    EXPECT_EQ(Text(L"OriginalFilename"), "orrelin_regdel.exe");
}

struct Architecture {
    WORD machine;
    std::string manifestName;
};

const Architecture X86{IMAGE_FILE_MACHINE_I386, "x86"};
const Architecture X64{IMAGE_FILE_MACHINE_AMD64, "amd64"};

// The architecture the program is built for: the checker's own, unless
// --architecture=x86 has a 64-bit checker read a 32-bit build (where Wine
// cannot run 32-bit programs).
Architecture& Expected() {
#ifdef _WIN64
    static Architecture expected = X64;
#else
    static Architecture expected = X86;
#endif
    return expected;
}

ImageHeaders::Image ProgramHeaders() {
    return ImageHeaders::Read(FileBytes(ProgramUnderTest()));
}

TEST(ProgramImage, IsAWindowedProgramNeedingOnlyWhatEveryWindowsHas) {
    const ImageHeaders::Image image = ProgramHeaders();
    ASSERT_TRUE(image.error.empty()) << image.error;
    EXPECT_EQ(image.machine, Expected().machine);
    // A console program would open a console window beside its boxes.
    EXPECT_EQ(image.subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
    EXPECT_FALSE(image.imports.empty());
    for (const std::string& library : image.imports) {
        EXPECT_TRUE(ImageHeaders::ComesWithWindows(library))
            << library << " is not part of every Windows";
    }
}

// What the program imports is loaded before its first instruction, before it
// narrows the DLL search, and the image carries no load configuration that
// would narrow it sooner (Debian 12's linker cannot write one). Only Windows'
// known DLLs keep a DLL of the same name in the program's folder, such as
// Downloads, from being loaded in their place. Any other import, the
// Universal C Runtime of a newer toolchain among them, is refused.
TEST(ProgramImage, ImportsOnlyKnownDlls) {
    const ImageHeaders::Image image = ProgramHeaders();
    ASSERT_TRUE(image.error.empty()) << image.error;
    for (const std::string& library : image.imports) {
        EXPECT_TRUE(ImageHeaders::IsKnownDll(library))
            << library << " is none of kernel32, user32, advapi32, msvcrt and ntdll, which "
            << "Windows takes from its system folder whatever lies beside the program";
    }
}

// ASLR and DEP as Windows expects of a program it runs: a randomised base
// needs the relocations kept, and no section may be both written and run.
TEST(ProgramImage, AsksForAslrAndDep) {
    const ImageHeaders::Image image = ProgramHeaders();
    ASSERT_TRUE(image.error.empty()) << image.error;
    EXPECT_EQ(image.characteristics & IMAGE_FILE_RELOCS_STRIPPED, 0);
    std::vector<WORD> wanted{IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE,
                             IMAGE_DLLCHARACTERISTICS_NX_COMPAT};
    if (Expected().machine == IMAGE_FILE_MACHINE_AMD64) {
        wanted.push_back(IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA);
    }
    for (const WORD flag : wanted) {
        EXPECT_EQ(image.dllCharacteristics & flag, flag) << "flag 0x" << std::hex << flag;
    }
    for (const ImageHeaders::Section& section : image.sections) {
        const DWORD writableCode = IMAGE_SCN_MEM_WRITE | IMAGE_SCN_MEM_EXECUTE;
        EXPECT_NE(section.characteristics & writableCode, writableCode) << section.name;
    }
}

TEST(ProgramImage, ShipsWithoutDebugInformation) {
    const ImageHeaders::Image image = ProgramHeaders();
    ASSERT_TRUE(image.error.empty()) << image.error;
    EXPECT_EQ(image.symbolTable, 0u) << "symbols left in";
    for (const ImageHeaders::Section& section : image.sections) {
        EXPECT_NE(section.name.rfind(".debug", 0), 0u) << section.name;
    }
}

struct ModuleFreer {
    void operator()(HMODULE module) const { FreeLibrary(module); }
};

// Two builds of the same sources must give the same bytes.
TEST(ProgramImage, CarriesNoBuildTime) {
    const ImageHeaders::Image image = ProgramHeaders();
    ASSERT_TRUE(image.error.empty()) << image.error;
    EXPECT_EQ(image.timestamp, 0u);
}

TEST(ProgramImage, EmbedsItsManifest) {
    const std::unique_ptr<std::remove_pointer_t<HMODULE>, ModuleFreer> module(
        LoadLibraryExW(ProgramUnderTest().c_str(), nullptr,
                       LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    ASSERT_TRUE(module) << "cannot load the program's resources: error " << GetLastError();
    const HRSRC found = FindResourceW(module.get(), MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    ASSERT_NE(found, nullptr) << "no manifest (resource type 24) with id 1";
    const auto* text = static_cast<const char*>(LockResource(LoadResource(module.get(), found)));
    ASSERT_NE(text, nullptr);
    const std::string manifest(text, SizeofResource(module.get(), found));
    EXPECT_NE(manifest.find("<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\""),
              std::string::npos);
    // Run as the user who started it: the program touches only that user's keys.
    EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
    // Windows refuses to start a program whose manifest names another
    // architecture than its own.
    const std::size_t architecture =
        manifest.find("processorArchitecture", manifest.find("<assemblyIdentity"));
    ASSERT_NE(architecture, std::string::npos);
    const std::string own = "processorArchitecture=\"" + Expected().manifestName + "\"";
    EXPECT_EQ(manifest.substr(architecture, own.size()), own);
}

} // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--architecture=x86") {
            Expected() = X86;
        }
    }
    if (!HaveProgramUnderTest(argv[0])) {
        return 2;
    }
    return RUN_ALL_TESTS();
}
