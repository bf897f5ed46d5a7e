// Expanding any bytes as a ".234" file ends with output or with EError,
// never with a read or write outside the codec's workspace or an endless
// loop. Every code takes at least one bit, so the output can never hold
// more bytes than the data section holds bits.
#include <cstdint>
#include <memory>
#include <vector>

#include "codec/unit2.h"
#include "fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    unit2::TCodecFiles files;
    unit2::ResetCodec();
    unit2::InputStream = std::make_unique<TMemoryStream>(std::vector<uint8_t>(data, data + size));
    auto output = std::make_unique<TMemoryStream>();
    TMemoryStream& expanded = *output;
    unit2::OutputStream = std::move(output);
    try {
        unit2::DecompressFile();
    } catch (const EError&) {
        return 0;
    }
    FUZZ_CHECK(expanded.Size() <= int64_t(size) * 8);
    return 0;
}
