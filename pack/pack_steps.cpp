#include "pack/pack_steps.h"

#include <utility>

#include "codec/unit2.h"
#include "core/exceptions.h"
#include "core/streams.h"

namespace pack {

void OpenInputBytes(std::vector<uint8_t> bytes) {
    const auto size = static_cast<int64_t>(bytes.size());
    if (size >= unit2::kMaxInputSize)
        throw EError("The data is too large: the codec handles inputs shorter than " +
                     std::to_string(unit2::kMaxInputSize) + " bytes");
    unit2::InputStream = std::make_unique<TMemoryStream>(std::move(bytes));
    unit2::InputSize = static_cast<int32_t>(size);
}

void CompressInputInto(const std::string& outputName, const std::function<void()>& created) {
    unit2::CreateOutputFile(outputName);
    if (created) created();
    unit2::CompressFile();
    unit2::CloseFiles();
}

void ExpandInputInto(const std::string& outputName, const std::function<void()>& created) {
    unit2::CreateOutputFile(outputName);
    if (created) created();
    unit2::DecompressFile();
    unit2::CloseFiles();
}

std::vector<uint8_t> ExpandInputToBytes() {
    auto output = std::make_unique<TMemoryStream>();
    TMemoryStream& memory = *output;
    unit2::OutputStream = std::move(output);
    unit2::DecompressFile();
    std::vector<uint8_t> bytes = std::move(memory.Data());
    unit2::CloseFiles();
    return bytes;
}

std::vector<uint8_t> EncodeJpegBytes(const TBitmap& bitmap) {
    TJPEGImage jpeg;
    jpeg.Assign(&bitmap);
    jpeg.EncodeJpeg();
    std::vector<uint8_t>* bytes = jpeg.Data().Data.get();
    // The object's own record, shared with no other: its bytes move out.
    return bytes ? std::move(*bytes) : std::vector<uint8_t>();
}

std::unique_ptr<TBitmap> DecodeJpegBytes(const std::vector<uint8_t>& bytes, TJPEGWarnings& warnings) {
    auto bitmap = std::make_unique<TBitmap>();
    warnings = {};
    if (bytes.empty()) return bitmap;
    TJPEGImage jpeg;
    TMemoryStream stream(bytes);
    jpeg.ReadFromStream(stream);
    bitmap->Assign(&jpeg);
    warnings = jpeg.Warnings();
    return bitmap;
}

}  // namespace pack
