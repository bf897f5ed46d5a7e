// The codec's commands: compress, expand and listing.
#include "codec/unit2.h"
#include "pack/pack_steps.h"
#include "tools/cli/cli_files.h"
#include "tools/cli/command_table.h"
#include "tools/cli/input_to_codec.h"

namespace {

// Compresses the job's input into its output, or expands it.
void RunCodec(TFileJob& job, bool expand) {
    TInput input(job.Input);
    TOutput output(job.Output, job.Force, input);
    const TCodecTurn turn;
    About(input.Label(), [&] {
        unit2::TCodecFiles files;
        if (expand) unit2::ResetCodec();
        OpenCodecInput(input);
        output.Write([expand](const std::string& fileName) {
            if (expand)
                pack::ExpandInputInto(fileName);
            else
                pack::CompressInputInto(fileName);
        });
    });
}

void Compress(TFileJob& job) { RunCodec(job, false); }

void Expand(TFileJob& job) { RunCodec(job, true); }

// The code table is built exactly as compressing would build it, and
// refused where compressing would refuse it; nothing is written but the
// listing itself.
void Listing(TFileJob& job) {
    TInput input(job.Input);
    const TCodecTurn turn;
    const std::string listing = About(input.Label(), [&] {
        unit2::TCodecFiles files;
        OpenCodecInput(input);
        unit2::BuildCodes();
        return unit2::FormatCodeListing();
    });
    WriteStandardOutput(listing);
}

const CommandRegistration compressCommand({"compress", "IN [OUT]", "Compress any file IN into a \".234\" file",
                                           "", ".234", false, false, false, &Compress});
const CommandRegistration expandCommand({"expand", "IN.234 [OUT]",
                                         "Expand the \".234\" file IN back into the original", ".234", "", true,
                                         false, false, &Expand});
const CommandRegistration listingCommand({"listing", "IN",
                                          "Print the code listing (\"kode.txt\") of compressing IN", "", "",
                                          false, true, false, &Listing});

}  // namespace
