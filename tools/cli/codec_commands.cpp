// The codec's commands: compress, expand and listing.
#include <cstdio>

#include "codec/unit2.h"
#include "core/safe_write.h"
#include "tools/cli/command_table.h"

namespace {

void Compress(const std::vector<std::string>& arguments) {
    unit2::TCodecFiles files;
    unit2::OpenInputFile(arguments[0]);
    WriteFileSafely(arguments[1], [](const std::string& temporaryName) {
        unit2::CreateOutputFile(temporaryName);
        unit2::CompressFile();
        unit2::CloseFiles();
    });
}

void Expand(const std::vector<std::string>& arguments) {
    unit2::TCodecFiles files;
    unit2::ResetCodec();
    unit2::OpenInputFile(arguments[0]);
    WriteFileSafely(arguments[1], [](const std::string& temporaryName) {
        unit2::CreateOutputFile(temporaryName);
        unit2::DecompressFile();
        unit2::CloseFiles();
    });
}

// The code table is built exactly as compressing would build it, and
// refused where compressing would refuse it; nothing is written but the
// listing itself.
void Listing(const std::vector<std::string>& arguments) {
    {
        unit2::TCodecFiles files;
        unit2::OpenInputFile(arguments[0]);
        unit2::BuildCodes();
    }
    const std::string listing = unit2::FormatCodeListing();
    if (std::fwrite(listing.data(), 1, listing.size(), stdout) != listing.size() ||
        std::fflush(stdout) != 0)
        throw EWriteError();
}

const CommandRegistration compressCommand(
    {"compress", "IN OUT", "Compress the file IN into the \".234\" file OUT", 2, &Compress});
const CommandRegistration expandCommand(
    {"expand", "IN OUT", "Expand the \".234\" file IN into the file OUT", 2, &Expand});
const CommandRegistration listingCommand(
    {"listing", "IN", "Print the code listing (\"kode.txt\") of compressing IN", 1, &Listing});

}  // namespace
