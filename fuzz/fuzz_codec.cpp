// Any bytes compress, and expand to the same bytes again; the predicted
// size of the compressed file is its real size. The only refusal allowed
// is a code table too large to be stored.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "codec/unit2.h"
#include "fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> original(data, data + size);
    unit2::TCodecFiles files;

    unit2::InputStream = std::make_unique<TMemoryStream>(original);
    unit2::InputSize = int32_t(size);
    auto output = std::make_unique<TMemoryStream>();
    TMemoryStream& compressed = *output;
    unit2::OutputStream = std::move(output);
    unit2::CompressResult result{};
    try {
        result = unit2::CompressFile();
    } catch (const EError& e) {
        FUZZ_CHECK(e.Message().find("code table") != std::string::npos);
        return 0;
    }
    FUZZ_CHECK(result.InputSize == int32_t(size));
    FUZZ_CHECK(result.PredictedSize == compressed.Size());

    unit2::ResetCodec();
    unit2::InputStream = std::make_unique<TMemoryStream>(compressed.Data());
    output = std::make_unique<TMemoryStream>();
    TMemoryStream& expanded = *output;
    unit2::OutputStream = std::move(output);
    unit2::DecompressFile();
    FUZZ_CHECK(expanded.Data() == original);
    return 0;
}
