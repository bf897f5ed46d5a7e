// The image commands: pack (BMP -> JPEG at quality 90 -> ".234") and unpack
// (".234" -> JPEG -> BMP), the same steps the windows take, without their
// working files. The JPEG in between lives in a hidden temporary file beside
// the output, removed however the command ends.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "codec/unit2.h"
#include "core/safe_write.h"
#include "imaging/bitmap.h"
#include "imaging/jpeg.h"
#include "tools/cli/command_table.h"

namespace {

// A new, empty file beside `target`, deleted when this object goes.
class TemporaryFile {
public:
    explicit TemporaryFile(const std::string& target)
        : FName(CreateFileBeside(target, ".jpeg.tmp")) {}
    ~TemporaryFile() { RemoveTemporaryFile(FName); }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    const std::string& Name() const { return FName; }

private:
    std::string FName;
};

int64_t FileSize(const std::string& name) {
    struct stat st {};
    if (::stat(name.c_str(), &st) != 0) throw EFOpenError(name);
    return int64_t(st.st_size);
}

void PrintSummary(const std::string& input, int64_t bmpSize, int64_t jpegSize, const std::string& output,
                  int64_t packedSize) {
    char ratio[32];
    std::snprintf(ratio, sizeof ratio, "%.1f", packedSize > 0 ? double(bmpSize) / double(packedSize) : 0.0);
    const std::string text = "BMP:   " + std::to_string(bmpSize) + " bytes  " + input + "\n" +
                             "JPEG:  " + std::to_string(jpegSize) + " bytes\n" +
                             ".234:  " + std::to_string(packedSize) + " bytes  " + output + "\n" +
                             "Rasio: " + ratio + " : 1\n";
    if (std::fputs(text.c_str(), stdout) == EOF || std::fflush(stdout) != 0)
        throw EError(std::string("Cannot write the summary to standard output: ") + std::strerror(errno));
}

void Pack(const std::vector<std::string>& arguments) {
    const std::string& input = arguments[0];
    const std::string& output = arguments[1];
    JpegStartup(24, 1);

    int64_t bmpSize = 0, jpegSize = 0, packedSize = 0;
    {
        TemporaryFile jpegFile(output);
        {
            auto bitmap = std::make_unique<TBitmap>();
            bitmap->LoadFromFile(input);
            bmpSize = FileSize(input);
            TJPEGImage jpeg;
            jpeg.Assign(bitmap.get());
            bitmap.reset();  // the image object holds the pixels now
            WriteForTarget(output, [&] { jpeg.SaveToFile(jpegFile.Name()); });
            jpegSize = FileSize(jpegFile.Name());
        }
        unit2::TCodecFiles files;
        unit2::OpenInputFile(jpegFile.Name());
        // The summary is printed before the output is replaced: a summary
        // that cannot be printed fails the command with the old file kept.
        WriteFileSafely(
            output,
            [&](const std::string& temporaryName) {
                unit2::CreateOutputFile(temporaryName);
                unit2::CompressFile();
                unit2::CloseFiles();
                packedSize = FileSize(temporaryName);
            },
            [&] { PrintSummary(input, bmpSize, jpegSize, output, packedSize); });
    }
}

void Unpack(const std::vector<std::string>& arguments) {
    const std::string& input = arguments[0];
    const std::string& output = arguments[1];
    JpegStartup(24, 1);

    TJPEGImage jpeg;
    {
        TemporaryFile jpegFile(output);
        {
            unit2::TCodecFiles files;
            unit2::ResetCodec();
            unit2::OpenInputFile(input);
            WriteForTarget(output, [&] {
                unit2::CreateOutputFile(jpegFile.Name());
                unit2::DecompressFile();
            });
        }
        jpeg.LoadFromFile(jpegFile.Name());
    }
    // An empty BMP packs to an empty JPEG; it unpacks to an empty BMP again.
    const bool empty = jpeg.Data().Data && jpeg.Data().Data->empty();
    TBitmap bitmap;
    if (!empty) bitmap.Assign(&jpeg);
    WriteFileSafely(output, [&](const std::string& temporaryName) { bitmap.SaveToFile(temporaryName); });
}

const CommandRegistration packCommand(
    {"pack", "IN.bmp OUT.234", "Encode the BMP file IN as JPEG (quality 90) and compress it into OUT", 2,
     &Pack});
const CommandRegistration unpackCommand(
    {"unpack", "IN.234 OUT.bmp", "Expand the \".234\" file IN and decode its JPEG into the BMP file OUT", 2,
     &Unpack});

}  // namespace
