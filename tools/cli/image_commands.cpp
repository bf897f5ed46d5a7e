// The image commands: pack (BMP -> JPEG at quality 90 -> ".234") and unpack
// (".234" -> JPEG -> BMP), the steps the windows take, without their
// working files: the JPEG in between stays in memory.
#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "codec/unit2.h"
#include "core/exceptions.h"
#include "core/streams.h"
#include "imaging/bitmap.h"
#include "pack/pack_steps.h"
#include "tools/cli/cli_files.h"
#include "tools/cli/command_table.h"
#include "tools/cli/input_to_codec.h"

namespace {

int64_t FileSize(const std::string& name) {
    struct stat st {};
    if (::stat(name.c_str(), &st) != 0) throw EFOpenError(name);
    return int64_t(st.st_size);
}

std::string Summary(const std::string& input, int64_t bmpSize, int64_t jpegSize, const std::string& output,
                    int64_t packedSize) {
    char ratio[32];
    std::snprintf(ratio, sizeof ratio, "%.1f", packedSize > 0 ? double(bmpSize) / double(packedSize) : 0.0);
    return "BMP:   " + std::to_string(bmpSize) + " bytes  " + input + "\n" +
           "JPEG:  " + std::to_string(jpegSize) + " bytes\n" +
           ".234:  " + std::to_string(packedSize) + " bytes  " + output + "\n" +
           "Rasio: " + ratio + " : 1\n";
}

// The picture of a BMP input, read as the image objects read it; its size
// in bytes goes to `size`.
std::unique_ptr<TBitmap> ReadPicture(TInput& input, int64_t& size) {
    auto bitmap = std::make_unique<TBitmap>();
    try {
        if (input.InMemory()) {
            TMemoryStream stream(input.TakeBytes());
            size = stream.Size();
            bitmap->ReadFromStream(stream);
        } else {
            bitmap->LoadFromFile(input.Path());
            size = FileSize(input.Path());
        }
    } catch (const EReadError&) {
        throw EFileFailure(input.Label(), "not a valid bitmap: it ends inside its headers or colour table");
    }
    return bitmap;
}

void Pack(TFileJob& job) {
    TInput input(job.Input);
    TOutput output(job.Output, job.Force, input);
    int64_t bmpSize = 0;
    std::vector<uint8_t> jpeg = About(input.Label(), [&] {
        const auto picture = ReadPicture(input, bmpSize);
        if (picture->Image().PixelsCutShort)
            job.Warn(input.Label(), "the pixel data ends early; the rows missing from the file are left blank");
        return pack::EncodeJpegBytes(*picture);
    });
    const auto jpegSize = int64_t(jpeg.size());
    const TCodecTurn turn;
    About(input.Label(), [&] {
        unit2::TCodecFiles files;
        pack::OpenInputBytes(std::move(jpeg));
        int64_t packedSize = 0;
        // The summary is printed before the output is put in place: a
        // summary that cannot be printed fails the command with the old
        // file kept.
        output.Write(
            [&](const std::string& fileName) {
                pack::CompressInputInto(fileName);
                packedSize = FileSize(fileName);
            },
            [&] { PrintSummary(job, Summary(input.Label(), bmpSize, jpegSize, output.Label(), packedSize)); });
    });
}

void Unpack(TFileJob& job) {
    TInput input(job.Input);
    TOutput output(job.Output, job.Force, input);
    std::vector<uint8_t> jpeg;
    {
        const TCodecTurn turn;
        About(input.Label(), [&] {
            unit2::TCodecFiles files;
            unit2::ResetCodec();
            OpenCodecInput(input);
            jpeg = pack::ExpandInputToBytes();
        });
    }
    // An empty BMP packs to an empty JPEG; it unpacks to an empty BMP again.
    TJPEGImage decoder;
    if (!jpeg.empty()) {
        TMemoryStream stream(std::move(jpeg));
        About(input.Label(), [&] { decoder.ReadFromStream(stream); });
    }
    TBitmap picture;
    const TWriteTurn turn;
    // Decoded while it is written; what fails in the decoding is about the input.
    output.Write(
        [&](const std::string& fileName) {
            if (decoder.Empty()) {
                picture.SaveToFile(fileName);
                return;
            }
            try {
                pack::DecodeJpegToFile(decoder, picture, fileName);
            } catch (const EWriteError&) {
                throw;
            } catch (const EFCreateError&) {
                throw;
            } catch (const std::exception& e) {
                throw EFileFailure(input.Label(), ReasonOf(e, input.Label()));
            }
        },
        [&] {
            const TJPEGWarnings& warnings = decoder.Warnings();
            if (warnings.Count > 0)
                job.Warn(input.Label(),
                         "JPEG data: " + warnings.LastMessage +
                             (warnings.Count > 1 ? " (" + std::to_string(warnings.Count) + " warnings)" : ""));
        });
}

const CommandRegistration packCommand({"pack", "IN.bmp [OUT.234]",
                                       "BMP -> JPEG (quality 90) -> \".234\", with the sizes and ratio", ".bmp",
                                       ".234", false, false, true, &Pack});
const CommandRegistration unpackCommand({"unpack", "IN.234 [OUT.bmp]", "\".234\" -> JPEG -> BMP", ".234", ".bmp",
                                         false, false, true, &Unpack});

}  // namespace
