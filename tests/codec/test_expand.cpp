// Expansion: the rebuilt tree, the end of the data, and damaged or foreign
// files, each of which must end with an error or a bounded output.
#include <random>

#include "codec_test_support.h"

using namespace unit2;

namespace {

// A compressed file from its parts: LastByteBits, the table records as
// (value, bit string) and the data bytes.
Bytes MakeFile(uint8_t lastByteBits, const std::vector<std::pair<int, std::string>>& codes,
               const Bytes& data) {
    Bytes table;
    for (const auto& [value, bits] : codes) {
        table.push_back(static_cast<uint8_t>(value));
        table.push_back(static_cast<uint8_t>(bits.size()));
        for (size_t i = 0; i < bits.size(); i += 8) {
            uint8_t byte = 0;
            for (size_t k = 0; k < 8; ++k)
                byte = static_cast<uint8_t>(byte << 1 | (i + k < bits.size() && bits[i + k] == '1'));
            table.push_back(byte);
        }
    }
    const auto length = static_cast<uint32_t>(table.size());
    Bytes file;
    file.reserve(5 + table.size() + data.size());
    file.push_back(lastByteBits);
    for (int shift = 0; shift < 32; shift += 8) file.push_back(static_cast<uint8_t>(length >> shift));
    file.insert(file.end(), table.begin(), table.end());
    file.insert(file.end(), data.begin(), data.end());
    return file;
}

// Expands `file` in memory; true with the output, or false on EError.
bool TryExpand(const Bytes& file, Bytes& output) {
    try {
        output = ExpandInMemory(file);
        return true;
    } catch (const EError&) {
        CloseFiles();
        return false;
    }
}

// Expanding `file` ends with EError, for the reason that its message names.
::testing::AssertionResult Refused(const Bytes& file, const std::string& reason) {
    Bytes output;
    try {
        output = ExpandInMemory(file);
    } catch (const EError& e) {
        CloseFiles();
        if (e.Message().find(reason) != std::string::npos) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "refused for another reason: " << e.Message();
    }
    return ::testing::AssertionFailure() << "expanded to " << output.size() << " bytes";
}

}  // namespace

TEST_F(CodecTest, RebuiltTreeMatchesTheTable) {
    const Bytes file = Compress(ToBytes("ABRACADABRA"));
    EXPECT_EQ(Expand(file), ToBytes("ABRACADABRA"));
    EXPECT_EQ(LastByteBits, 7);
    EXPECT_EQ(TableLength, 15);
    // Nodes are handed out from 0 in the order the codes are walked.
    EXPECT_EQ(DecodeRoot->Left, &NodePool[0]);
    EXPECT_EQ(NodePool[0].Symbol, 'A');
    EXPECT_EQ(DecodeRoot->Right, &NodePool[1]);
    EXPECT_EQ(NodePool[1].Bit, 1);
    EXPECT_EQ(NodePool[1].Right->Left->Symbol, 'B');
    EXPECT_EQ(CodeTable['R'].BitCount, 3);
}

TEST_F(CodecTest, FilesTheEncoderNeverWritesButTheFormatAllows) {
    // LastByteBits 0: all 8 bits of the last byte are data.
    EXPECT_EQ(ExpandInMemory(MakeFile(0, {{'a', "0"}, {'b', "1"}}, {0x0F})), ToBytes("aaaabbbb"));
    // An incomplete code is fine as long as the data stays on it.
    EXPECT_EQ(ExpandInMemory(MakeFile(3, {{'a', "00"}, {'b', "1"}}, {0x20})), ToBytes("ab"));
    // The five zero bytes of an empty input, and an empty table with no data.
    EXPECT_EQ(ExpandInMemory(Bytes(5, 0)), Bytes{});
}

TEST_F(CodecTest, DamagedFilesAreRefused) {
    // Each file is refused by the check meant for it, not by a later one.
    for (size_t size = 0; size < 5; ++size) EXPECT_TRUE(Refused(Bytes(size, 0), "shorter than 5 bytes"));
    EXPECT_TRUE(Refused(MakeFile(8, {{'a', "0"}, {'b', "1"}}, {0x40}), "above 7"));
    EXPECT_TRUE(Refused(MakeFile(200, {{'a', "0"}, {'b', "1"}}, {0x40}), "above 7"));

    Bytes negative = MakeFile(0, {}, {0x00});
    negative[4] = 0x80;
    EXPECT_TRUE(Refused(negative, "length -2147483648 is out of range"));
    Bytes tooLong = MakeFile(0, {}, Bytes(2000, 0));
    tooLong[1] = 0xD5;  // 1493
    tooLong[2] = 0x05;
    EXPECT_TRUE(Refused(tooLong, "length 1493 is out of range"));
    Bytes pastEnd = MakeFile(1, {{'a', "0"}, {'b', "1"}}, {});
    pastEnd[1] = 9;
    EXPECT_TRUE(Refused(pastEnd, "runs past the end of the file"));
    Bytes cutRecord = MakeFile(1, {{'a', "0"}, {'b', "1"}}, {0x00, 0x00});
    cutRecord[1] = 4;
    EXPECT_TRUE(Refused(cutRecord, "ends inside a record"));
    Bytes cutCode = cutRecord;
    cutCode[1] = 5;  // after b's bit count, before its bits
    EXPECT_TRUE(Refused(cutCode, "ends inside a code"));

    EXPECT_TRUE(Refused(MakeFile(1, {{'a', ""}, {'b', "1"}}, {0x00}), "value 97 no bits"));
    for (const auto& codes : {std::vector<std::pair<int, std::string>>{{'a', "0"}, {'b', "01"}},
                              std::vector<std::pair<int, std::string>>{{'a', "01"}, {'b', "0"}},
                              std::vector<std::pair<int, std::string>>{{'a', "0"}, {'b', "0"}}})
        EXPECT_TRUE(Refused(MakeFile(2, codes, {0x00}), "not a prefix code")) << codes[1].second;
    EXPECT_TRUE(Refused(MakeFile(1, {{'a', "1"}}, {0x80}), "1-branch without a 0-branch"));
    EXPECT_TRUE(Refused(MakeFile(1, {{'a', "0"}}, {0x80}), "a bit sequence that is no code"));
    EXPECT_TRUE(Refused(MakeFile(0,
                                 {{'a', std::string(255, '0')},
                                  {'b', std::string(255, '1')},
                                  {'c', std::string("0").append(254, '1')}},
                                 Bytes(32, 0)),
                        "needs too many nodes"));
    EXPECT_TRUE(Refused(MakeFile(0, {{'a', "0"}, {'b', "1"}}, {}), "a code table but no data"));
    EXPECT_TRUE(Refused(MakeFile(0, {}, {0x12}), "data but no code table"));
    EXPECT_TRUE(Refused(MakeFile(1, {{'a', "00"}, {'b', "01"}, {'c', "1"}}, {0x00}),
                        "ends in the middle of a code"));
    // The last code running into the padding bits.
    EXPECT_TRUE(Refused(MakeFile(3, {{'a', "0"}, {'b', "10"}, {'c', "110"}, {'d', "111"}}, {0x78}),
                        "ends in the middle of a code"));
}

TEST_F(CodecTest, EveryTruncationEndsInAnErrorOrABoundedOutput) {
    std::mt19937 random(3);
    Bytes data(3000);
    for (auto& b : data) b = static_cast<uint8_t>(random() % 40);
    const Bytes file = Compress(data);
    for (size_t size = 0; size < file.size(); ++size) {
        const Bytes cut(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(size));
        Bytes output;
        if (TryExpand(cut, output)) {
            // Every code has at least one bit.
            EXPECT_LE(output.size(), 8 * size) << size;
        }
    }
    EXPECT_EQ(ExpandInMemory(file), data);
}

TEST_F(CodecTest, RandomBitFlipsEndInAnErrorOrABoundedOutput) {
    std::mt19937 random(11);
    Bytes data(5000);
    for (auto& b : data) b = static_cast<uint8_t>(random() % 7 == 0 ? random() : random() % 16);
    const Bytes file = Compress(data);
    int refused = 0;
    for (int round = 0; round < 3000; ++round) {
        Bytes damaged = file;
        const int flips = 1 + static_cast<int>(random() % 4);
        for (int i = 0; i < flips; ++i) {
            // Half of the flips go into the header and table.
            const size_t limit = round % 2 == 0 ? std::min<size_t>(file.size(), 80) : file.size();
            damaged[random() % limit] ^= static_cast<uint8_t>(1u << (random() % 8));
        }
        Bytes output;
        if (!TryExpand(damaged, output)) {
            ++refused;
            continue;
        }
        EXPECT_LE(output.size(), 8 * damaged.size());
    }
    EXPECT_GT(refused, 0);
}

TEST_F(CodecTest, LanesReachTheVerdictOfThePlainDecoder) {
    // The verdict: the output file as left behind, and the error, if any.
    // Both decoders must also give the output of a walk bit by bit.
    const auto verdict = [](const Bytes& file, const unit2::TCodecTuning& tuning) {
        TuningGuard guard(tuning);
        ResetCodec();
        InputStream = std::make_unique<TMemoryStream>(file);
        OutputStream = std::make_unique<TMemoryStream>();
        std::string error = "none";
        try {
            DecompressFile();
        } catch (const EError& e) {
            error = e.Message();
        }
        Bytes output = static_cast<TMemoryStream&>(*OutputStream).Data();
        CloseFiles();
        return std::make_pair(output, error);
    };
    // The data bits walked bit by bit along the rebuilt tree: the output
    // file a decoder writing whole blocks of 32768 bytes leaves behind.
    const auto walk = [](const Bytes& file) {
        const size_t start = 5 + static_cast<size_t>(TableLength);
        if (file.size() <= start) return Bytes{};
        const uint64_t bits = (file.size() - start - 1) * 8 + (file[0] == 0 ? 8 : file[0]);
        Bytes output;
        const auto wholeBlocks = [&] { return Bytes(output.begin(), output.end() - output.size() % 32768); };
        for (uint64_t position = 0;;) {
            const TreeNode* node = DecodeRoot;
            while (node && node->Left) {
                if (position == bits) return wholeBlocks();
                const bool one = file[start + position / 8] >> (7 - position % 8) & 1;
                node = one ? node->Right : node->Left;
                ++position;
            }
            if (!node) return wholeBlocks();
            output.push_back(node->Symbol);
            if (position == bits) return output;
        }
    };
    std::mt19937 random(5);
    Bytes data(90000);
    for (auto& b : data) b = static_cast<uint8_t>(random() % 5 == 0 ? random() : random() % 24);
    const Bytes file = Compress(data);
    int refused = 0;
    const auto compare = [&](const Bytes& damaged, const std::string& what) {
        const auto plain = verdict(damaged, NoSplitting());
        refused += plain.second != "none";
        if (plain.second == "none" || plain.second.find(": its data") != std::string::npos) {
            EXPECT_EQ(plain.first, walk(damaged)) << what << ": " << plain.second;
        }
        EXPECT_EQ(verdict(damaged, FineSplitting()), plain) << what;
    };
    compare(file, "undamaged");
    for (size_t size = 0; size < file.size(); size += 1 + size / 7) {
        compare(Bytes(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(size)),
                "cut to " + std::to_string(size));
    }
    for (int round = 0; round < 300; ++round) {
        Bytes damaged = file;
        const size_t limit = round % 2 == 0 ? 80 : file.size();
        for (int i = 0; i < 1 + round % 4; ++i)
            damaged[random() % limit] ^= static_cast<uint8_t>(1u << (random() % 8));
        compare(damaged, "flips, round " + std::to_string(round));
    }
    EXPECT_GT(refused, 10);

    // An incomplete code table, in which 111 is no code: a lane that meets
    // it fails and must hand its round back to the plain decoder.
    const std::vector<std::pair<int, std::string>> incomplete = {{'a', "0"}, {'b', "10"}, {'c', "110"}};
    std::string bits;
    while (bits.size() < 200000) bits += incomplete[random() % 3].second;
    const auto pack = [&](const std::string& dataBits) {
        Bytes packed((dataBits.size() + 7) / 8);
        for (size_t i = 0; i < dataBits.size(); ++i)
            if (dataBits[i] == '1') packed[i / 8] |= static_cast<uint8_t>(0x80 >> (i % 8));
        return MakeFile(static_cast<uint8_t>(dataBits.size() % 8), incomplete, packed);
    };
    compare(pack(bits), "incomplete table");
    for (const size_t at : {5u, 20001u, 66666u, 100000u, 140003u, 199999u}) {
        std::string damaged = bits;
        damaged.insert(at, "111");
        compare(pack(damaged), "incomplete table, no code at " + std::to_string(at));
    }
}

TEST_F(CodecTest, DataEndingOnABlockBoundaryOrAfterOneByte) {
    // One data byte: it ends only because the next block is read at once.
    EXPECT_EQ(Expand(MakeFile(2, {{'A', "0"}, {'B', "1"}}, {0x40})), ToBytes("AB"));
    // 32768 data bytes of 1-bit codes, then 65536.
    for (const size_t bytes : {32768u, 65536u}) {
        Bytes data(bytes);
        for (size_t i = 0; i < bytes; ++i) data[i] = static_cast<uint8_t>(i * 37);
        Bytes expected;
        for (const uint8_t byte : data)
            for (int bit = 7; bit >= 0; --bit) expected.push_back((byte >> bit) & 1 ? 'y' : 'x');
        EXPECT_EQ(Expand(MakeFile(0, {{'x', "0"}, {'y', "1"}}, data)), expected);
    }
}
