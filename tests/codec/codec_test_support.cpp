#include "codec_test_support.h"

#include <fstream>
#include <iterator>

Bytes ToBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes ReadWholeFile(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteWholeFile(const std::string& name, const Bytes& data) {
    std::ofstream out(name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    ASSERT_TRUE(out.good());
}

void CodecTest::SetUp() {
    unit2::CloseFiles();
    unit2::ResetCodec();
}

void CodecTest::TearDown() { unit2::CloseFiles(); }

Bytes CodecTest::Compress(const Bytes& data) {
    WriteWholeFile(Path("in"), data);
    unit2::OpenInputFile(Path("in"));
    unit2::CreateOutputFile(Path("out.234"));
    const unit2::CompressResult result = unit2::CompressFile();
    unit2::CloseFiles();
    Bytes compressed = ReadWholeFile(Path("out.234"));
    EXPECT_EQ(result.InputSize, static_cast<int32_t>(data.size()));
    EXPECT_EQ(result.PredictedSize, static_cast<int32_t>(compressed.size()));
    return compressed;
}

Bytes CodecTest::Expand(const Bytes& compressed) {
    WriteWholeFile(Path("in.234"), compressed);
    unit2::ResetCodec();
    unit2::OpenInputFile(Path("in.234"));
    unit2::CreateOutputFile(Path("out"));
    unit2::DecompressFile();
    unit2::CloseFiles();
    return ReadWholeFile(Path("out"));
}

Bytes ExpandInMemory(const Bytes& compressed) {
    unit2::ResetCodec();
    unit2::InputStream = std::make_unique<TMemoryStream>(compressed);
    unit2::OutputStream = std::make_unique<TMemoryStream>();
    unit2::DecompressFile();
    Bytes out = static_cast<TMemoryStream&>(*unit2::OutputStream).Data();
    unit2::CloseFiles();
    return out;
}

unit2::TCodecTuning FineSplitting() {
    unit2::TCodecTuning tuning;
    tuning.Threads = 3;
    tuning.BlockBytes = 40009;
    tuning.MinPartBytes = 1000;
    tuning.Lanes = 3;
    tuning.MinLaneBits = 64;
    tuning.RoundBits = 20000;
    return tuning;
}

unit2::TCodecTuning NoSplitting() {
    unit2::TCodecTuning tuning;
    tuning.Threads = 1;
    tuning.MinPartBytes = int64_t{1} << 40;
    tuning.Lanes = 1;
    tuning.MinLaneBits = int64_t{1} << 40;
    return tuning;
}
