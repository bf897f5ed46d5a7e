// The pack and unpack commands of vendaru-cli, run as a user runs them.
#include <gtest/gtest.h>

#include <elf.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>

#include "jpeg_test_support.h"

using namespace jpegtest;

namespace {

struct CliResult {
    int status;
    std::string output;  // standard output and standard error
};

// Runs the tool with `arguments` inside `folder`; its output is kept outside.
// A run that does not end within a minute is stopped and fails.
CliResult RunCli(const TempDir& folder, const std::string& arguments) {
    TempDir logs;
    const std::string log = logs / "log.txt";
    const std::string command = "cd '" + folder.path.string() + "' && timeout 60 '" VG_CLI_PATH "' " +
                                arguments + " >'" + log + "' 2>&1";
    const int raw = std::system(command.c_str());
    std::ifstream in(log);
    std::stringstream text;
    text << in.rdbuf();
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, text.str()};
}

std::vector<std::string> FolderContents(const TempDir& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder.path))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

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

    const CliResult pack = RunCli(dir, "pack in.bmp out.234");
    ASSERT_EQ(pack.status, 0) << pack.output;
    const auto bmpSize = std::filesystem::file_size(dir / "in.bmp");
    const auto packedSize = std::filesystem::file_size(dir / "out.234");
    EXPECT_NE(pack.output.find(std::to_string(bmpSize) + " bytes"), std::string::npos) << pack.output;
    EXPECT_NE(pack.output.find(std::to_string(packedSize) + " bytes"), std::string::npos) << pack.output;
    EXPECT_NE(pack.output.find("JPEG:"), std::string::npos) << pack.output;
    char ratio[32];
    std::snprintf(ratio, sizeof ratio, "%.1f : 1", double(bmpSize) / double(packedSize));
    EXPECT_NE(pack.output.find(ratio), std::string::npos) << pack.output;

    const CliResult unpack = RunCli(dir, "unpack out.234 out.bmp");
    ASSERT_EQ(unpack.status, 0) << unpack.output;
    TBitmap back;
    back.LoadFromFile(dir / "out.bmp");
    EXPECT_EQ(back.Width(), 257);
    EXPECT_EQ(back.Height(), 191);
    EXPECT_EQ(std::filesystem::file_size(dir / "out.bmp"), bmpSize);
    EXPECT_GT(Psnr(*photo, back), 35.0);

    // Nothing but what the user asked for is left in the folder.
    EXPECT_EQ(FolderContents(dir), (std::vector<std::string>{"in.bmp", "out.234", "out.bmp"}));
}

TEST(ImageCommands, FailuresKeepAnExistingOutputAndLeaveNothingBehind) {
    TempDir dir;
    const std::string text = "neither a bitmap nor a JPEG, just some words";
    WriteFile(dir / "notes.txt", std::vector<uint8_t>(text.begin(), text.end()));
    ASSERT_EQ(RunCli(dir, "compress notes.txt notes.234").status, 0);
    WriteFile(dir / "old.bmp", {'k', 'e', 'e', 'p'});
    WriteFile(dir / "old.234", {'k', 'e', 'e', 'p'});

    const CliResult notJpeg = RunCli(dir, "unpack notes.234 old.bmp");
    EXPECT_EQ(notJpeg.status, 1);
    EXPECT_NE(notJpeg.output.find("JPEG error #" + std::to_string(JERR_NO_SOI)), std::string::npos)
        << notJpeg.output;

    const CliResult notBmp = RunCli(dir, "pack notes.txt old.234");
    EXPECT_EQ(notBmp.status, 1);
    EXPECT_NE(notBmp.output.find("Bitmap image is not valid"), std::string::npos) << notBmp.output;

    const CliResult missing = RunCli(dir, "pack missing.bmp new.234");
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.output.find("missing.bmp"), std::string::npos) << missing.output;

    EXPECT_EQ(ReadFile(dir / "old.bmp"), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
    EXPECT_EQ(ReadFile(dir / "old.234"), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
    EXPECT_EQ(FolderContents(dir),
              (std::vector<std::string>{"notes.234", "notes.txt", "old.234", "old.bmp"}));
}

TEST(ImageCommands, SummaryThatCannotBePrintedKeepsTheOldOutput) {
    TempDir dir;
    MakePhoto(16, 16)->SaveToFile(dir / "in.bmp");
    WriteFile(dir / "out.234", {'k', 'e', 'e', 'p'});
    const std::string command = "cd '" + dir.path.string() + "' && '" VG_CLI_PATH
                                "' pack in.bmp out.234 >/dev/full 2>err.txt";
    const int raw = std::system(command.c_str());
    EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 1);
    const std::vector<uint8_t> err = ReadFile(dir / "err.txt");
    EXPECT_NE(std::string(err.begin(), err.end()).find("No space left on device"), std::string::npos);
    EXPECT_EQ(ReadFile(dir / "out.234"), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
    EXPECT_EQ(FolderContents(dir), (std::vector<std::string>{"err.txt", "in.bmp", "out.234"}));
}

TEST(ImageCommands, EmptyBitmapPacksAndUnpacksToAnEmptyFile) {
    TempDir dir;
    WriteFile(dir / "empty.bmp", {});
    ASSERT_EQ(RunCli(dir, "pack empty.bmp empty.234").status, 0);
    const CliResult unpack = RunCli(dir, "unpack empty.234 back.bmp");
    ASSERT_EQ(unpack.status, 0) << unpack.output;
    EXPECT_EQ(std::filesystem::file_size(dir / "back.bmp"), 0u);
}

}  // namespace
