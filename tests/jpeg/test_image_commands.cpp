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

// The names in a folder, sorted.
std::vector<std::string> NamesIn(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
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

    // Each message names the file and the reason, in the library's words
    // where the JPEG data is at fault.
    const CliResult notJpeg = RunCli({"unpack", "-f", "notes.234", "old.bmp"}, dir.path);
    EXPECT_EQ(notJpeg.status, 1);
    EXPECT_EQ(notJpeg.err, "vendaru-cli: unpack: notes.234: JPEG data: Not a JPEG file: starts with 0x6e 0x65\n");

    const CliResult notBmp = RunCli({"pack", "--force", "notes.txt", "old.234"}, dir.path);
    EXPECT_EQ(notBmp.status, 1);
    EXPECT_EQ(notBmp.err, "vendaru-cli: pack: notes.txt: not a valid bitmap\n");

    const CliResult missing = RunCli({"pack", "missing.bmp", "new.234"}, dir.path);
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "vendaru-cli: pack: missing.bmp: No such file or directory\n");

    // The same picture under two names is one file.
    const CliResult same = RunCli({"pack", "-f", "old.bmp", "./old.bmp"}, dir.path);
    EXPECT_EQ(same.status, 1);
    EXPECT_EQ(same.err, "vendaru-cli: pack: ./old.bmp: the input file itself; not overwritten\n");

    EXPECT_EQ(ReadFile(dir / "old.bmp"), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
    EXPECT_EQ(ReadFile(dir / "old.234"), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
    EXPECT_EQ(dir.Names(),
              (std::vector<std::string>{"notes.234", "notes.txt", "old.234", "old.bmp"}));
}

TEST(ImageCommands, SummaryThatCannotBePrintedKeepsTheOldOutput) {
    TempDir dir;
    MakePhoto(16, 16)->SaveToFile(dir / "in.bmp");
    WriteFile(dir / "out.234", {'k', 'e', 'e', 'p'});
    const CliResult pack = RunCli({"pack", "-f", "in.bmp", "out.234"}, dir.path, "/dev/full");
    EXPECT_EQ(pack.status, 1);
    EXPECT_EQ(pack.err, "vendaru-cli: pack: standard output: No space left on device\n");
    EXPECT_EQ(ReadFile(dir / "out.234"), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
    EXPECT_EQ(dir.Names(), (std::vector<std::string>{"in.bmp", "out.234"}));
    // So does a pipe that nobody reads any more.
    const CliResult closed = RunCliIntoClosedPipe({"pack", "-f", "in.bmp", "out.234"}, dir.path);
    EXPECT_EQ(closed.status, 1);
    EXPECT_EQ(closed.err, "vendaru-cli: pack: standard output: Broken pipe\n");
    EXPECT_EQ(ReadFile(dir / "out.234"), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
    EXPECT_EQ(dir.Names(), (std::vector<std::string>{"in.bmp", "out.234"}));
}

TEST(ImageCommands, DamagedInputsGiveTheirOutputWithAWarning) {
    TempDir dir;
    // A bitmap whose last rows are missing from the file.
    MakePhoto(64, 48)->SaveToFile(dir / "cut.bmp");
    std::filesystem::resize_file(dir / "cut.bmp", std::filesystem::file_size(dir / "cut.bmp") / 2);
    const CliResult pack = RunCli({"pack", "-q", "cut.bmp"}, dir.path);
    EXPECT_EQ(pack.status, 2);
    EXPECT_EQ(pack.err, "vendaru-cli: pack: cut.bmp: warning: the pixel data ends early; "
                        "the rows missing from the file are left blank\n");
    EXPECT_EQ(pack.out, "");
    EXPECT_TRUE(std::filesystem::exists(dir / "cut.234"));

    // JPEG data cut short, packed as it is.
    const auto jpeg = Encode(*MakePhoto(160, 120));
    WriteFile(dir / "cut.jpeg", std::vector<uint8_t>(jpeg.begin(), jpeg.begin() + std::ptrdiff_t(jpeg.size() / 2)));
    ASSERT_EQ(RunCli({"compress", "cut.jpeg", "short.234"}, dir.path).status, 0);
    const CliResult unpack = RunCli({"unpack", "short.234"}, dir.path);
    EXPECT_EQ(unpack.status, 2);
    EXPECT_EQ(unpack.err.rfind("vendaru-cli: unpack: short.234: warning: JPEG data: ", 0), 0u) << unpack.err;
    TBitmap back;
    back.LoadFromFile(dir / "short.bmp");
    EXPECT_EQ(back.Width(), 160);
    EXPECT_EQ(back.Height(), 120);
}

TEST(ImageCommands, SeveralPicturesIntoAFolderOneBadAmongThem) {
    TempDir dir;
    std::filesystem::create_directory(dir / "in");
    std::filesystem::create_directory(dir / "out");
    std::vector<std::string> inputs;
    for (int i = 0; i < 5; ++i) {
        const std::string name = "in/p" + std::to_string(i) + (i == 3 ? ".BMP" : ".bmp");
        if (i == 2)
            WriteFile(dir / name, {'B', 'M', 'n', 'o'});
        else
            MakePhoto(40 + i, 30)->SaveToFile(dir / name);
        inputs.push_back(name);
    }
    std::vector<std::string> arguments = {"pack", "--threads=3"};
    arguments.insert(arguments.end(), inputs.begin(), inputs.end());
    arguments.push_back("out");
    const CliResult pack = RunCli(arguments, dir.path);
    // The failure does not stop the others; the status is the worst.
    EXPECT_EQ(pack.status, 1);
    EXPECT_EQ(pack.err, "vendaru-cli: pack: in/p2.bmp: not a valid bitmap: it ends inside its headers or colour table\n");
    EXPECT_EQ(NamesIn(dir / "out"), (std::vector<std::string>{"p0.234", "p1.234", "p3.234", "p4.234"}));
    for (const char* name : {"in/p0.bmp", "in/p4.bmp"})
        EXPECT_NE(pack.out.find(std::string(name) + "\n"), std::string::npos) << pack.out;

    // Back, side by side, into the folder they came from; one alone goes
    // beside its input.
    const CliResult unpack = RunCli({"unpack", "-q", "out/p0.234", "out/p1.234", "out/p3.234", "out"}, dir.path);
    EXPECT_EQ(unpack.status, 0) << unpack.err;
    EXPECT_EQ(unpack.out, "");
    ASSERT_EQ(RunCli({"unpack", "out/p4.234"}, dir.path).status, 0);
    EXPECT_EQ(NamesIn(dir / "out"), (std::vector<std::string>{"p0.234", "p0.bmp", "p1.234", "p1.bmp", "p3.234",
                                                                "p3.bmp", "p4.234", "p4.bmp"}));
    TBitmap back;
    back.LoadFromFile(dir / "out/p3.bmp");
    EXPECT_EQ(back.Width(), 43);
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
