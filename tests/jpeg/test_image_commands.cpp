// The pack and unpack commands of vendaru-cli, run as a user runs them.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
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
