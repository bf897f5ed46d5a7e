// The pack and unpack commands of vendaru-cli, run as a user runs them.
#include <gtest/gtest.h>

#include <elf.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "jpeg_test_support.h"
#include "tests/support/cli_runner.h"

using namespace jpegtest;

namespace {

// The shared libraries an ELF executable names in its dynamic section.
std::vector<std::string> NeededLibraries(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Elf64_Ehdr header;
    if (file.size() < sizeof header) throw std::runtime_error("not an ELF file: " + path);
    std::memcpy(&header, file.data(), sizeof header);
    if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64)
        throw std::runtime_error("not a 64-bit ELF file: " + path);
    auto section = [&](size_t i) {
        Elf64_Shdr s;
        std::memcpy(&s, file.data() + header.e_shoff + i * header.e_shentsize, sizeof s);
        return s;
    };
    std::vector<std::string> needed;
    for (size_t i = 0; i < header.e_shnum; ++i) {
        const Elf64_Shdr dynamic = section(i);
        if (dynamic.sh_type != SHT_DYNAMIC) continue;
        const Elf64_Shdr strings = section(dynamic.sh_link);
        for (size_t at = 0; at + sizeof(Elf64_Dyn) <= dynamic.sh_size; at += sizeof(Elf64_Dyn)) {
            Elf64_Dyn entry;
            std::memcpy(&entry, file.data() + dynamic.sh_offset + at, sizeof entry);
            if (entry.d_tag == DT_NEEDED) needed.emplace_back(file.data() + strings.sh_offset + entry.d_un.d_val);
        }
    }
    return needed;
}

TEST(ImageCommands, ToolLinksNoWindowingLibrary) {
    const std::vector<std::string> needed = NeededLibraries(VG_CLI_PATH);
    ASSERT_FALSE(needed.empty());
    EXPECT_NE(std::find(needed.begin(), needed.end(), "libjpeg.so.62"), needed.end());
    for (const std::string& library : needed)
        for (const char* prefix : {"libQt", "libX", "libxcb", "libEGL", "libGL", "libOpenGL", "libfontconfig",
                                   "libfreetype", "libwayland", "libxkb", "libglib"})
            EXPECT_NE(library.rfind(prefix, 0), 0u) << library;
}

TEST(ImageCommands, PackThenUnpackKeepsThePicture) {
    TempDir dir;
    const auto photo = MakePhoto(257, 191);
    photo->SaveToFile(dir / "in.bmp");

    const CliResult pack = RunCli({"pack", "in.bmp", "out.234"}, dir.path);
    ASSERT_EQ(pack.status, 0) << pack.err;
    const auto bmpSize = std::filesystem::file_size(dir / "in.bmp");
    const auto packedSize = std::filesystem::file_size(dir / "out.234");
    EXPECT_NE(pack.out.find(std::to_string(bmpSize) + " bytes"), std::string::npos) << pack.out;
    EXPECT_NE(pack.out.find(std::to_string(packedSize) + " bytes"), std::string::npos) << pack.out;
    EXPECT_NE(pack.out.find("JPEG:"), std::string::npos) << pack.out;
    char ratio[32];
    std::snprintf(ratio, sizeof ratio, "%.1f : 1", double(bmpSize) / double(packedSize));
    EXPECT_NE(pack.out.find(ratio), std::string::npos) << pack.out;

    const CliResult unpack = RunCli({"unpack", "out.234", "out.bmp"}, dir.path);
    ASSERT_EQ(unpack.status, 0) << unpack.err;
    TBitmap back;
    back.LoadFromFile(dir / "out.bmp");
    EXPECT_EQ(back.Width(), 257);
    EXPECT_EQ(back.Height(), 191);
    EXPECT_EQ(std::filesystem::file_size(dir / "out.bmp"), bmpSize);
    EXPECT_GT(Psnr(*photo, back), 35.0);

    // Nothing but what the user asked for is left in the folder.
    EXPECT_EQ(dir.Names(), (std::vector<std::string>{"in.bmp", "out.234", "out.bmp"}));
}

TEST(ImageCommands, FailuresKeepAnExistingOutputAndLeaveNothingBehind) {
    TempDir dir;
    const std::string text = "neither a bitmap nor a JPEG, just some words";
    WriteFile(dir / "notes.txt", std::vector<uint8_t>(text.begin(), text.end()));
    ASSERT_EQ(RunCli({"compress", "notes.txt", "notes.234"}, dir.path).status, 0);
    WriteFile(dir / "old.bmp", {'k', 'e', 'e', 'p'});
    WriteFile(dir / "old.234", {'k', 'e', 'e', 'p'});

    const CliResult notJpeg = RunCli({"unpack", "notes.234", "old.bmp"}, dir.path);
    EXPECT_EQ(notJpeg.status, 1);
    EXPECT_NE(notJpeg.err.find("JPEG error #" + std::to_string(JERR_NO_SOI)), std::string::npos)
        << notJpeg.err;

    const CliResult notBmp = RunCli({"pack", "notes.txt", "old.234"}, dir.path);
    EXPECT_EQ(notBmp.status, 1);
    EXPECT_NE(notBmp.err.find("Bitmap image is not valid"), std::string::npos) << notBmp.err;

    const CliResult missing = RunCli({"pack", "missing.bmp", "new.234"}, dir.path);
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("missing.bmp"), std::string::npos) << missing.err;

    EXPECT_EQ(ReadFile(dir / "old.bmp"), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
    EXPECT_EQ(ReadFile(dir / "old.234"), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
    EXPECT_EQ(dir.Names(),
              (std::vector<std::string>{"notes.234", "notes.txt", "old.234", "old.bmp"}));
}

TEST(ImageCommands, SummaryThatCannotBePrintedKeepsTheOldOutput) {
    TempDir dir;
    MakePhoto(16, 16)->SaveToFile(dir / "in.bmp");
    WriteFile(dir / "out.234", {'k', 'e', 'e', 'p'});
    const CliResult pack = RunCli({"pack", "in.bmp", "out.234"}, dir.path, "/dev/full");
    EXPECT_EQ(pack.status, 1);
    EXPECT_NE(pack.err.find("No space left on device"), std::string::npos) << pack.err;
    EXPECT_EQ(ReadFile(dir / "out.234"), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
    EXPECT_EQ(dir.Names(), (std::vector<std::string>{"in.bmp", "out.234"}));
}

TEST(ImageCommands, EmptyBitmapPacksAndUnpacksToAnEmptyFile) {
    TempDir dir;
    WriteFile(dir / "empty.bmp", {});
    ASSERT_EQ(RunCli({"pack", "empty.bmp", "empty.234"}, dir.path).status, 0);
    const CliResult unpack = RunCli({"unpack", "empty.234", "back.bmp"}, dir.path);
    ASSERT_EQ(unpack.status, 0) << unpack.err;
    EXPECT_EQ(std::filesystem::file_size(dir / "back.bmp"), 0u);
}

}  // namespace
