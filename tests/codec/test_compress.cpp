// Compression: the tree and its tie-breaks, the file format, the listing,
// round trips, and the refusals of inputs the format cannot hold.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#if defined(__SANITIZE_ADDRESS__)
#define VG_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VG_ADDRESS_SANITIZER 1
#endif
#endif
#if VG_ADDRESS_SANITIZER
// The sanitizer's count of the bytes allocated and not yet freed.
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#else
#include <malloc.h>
#endif

#include "codec_test_support.h"

using namespace unit2;

namespace {

std::string CodeOf(int v) {
    std::string bits;
    for (int i = 0; i < CodeTable[v].BitCount; ++i) bits += char('0' + CodeTable[v].Bits[i]);
    return bits;
}

// Random bytes; `skew` 0 is uniform, larger values favour low byte values.
Bytes RandomBytes(size_t size, int skew, unsigned seed) {
    std::mt19937 random(seed);
    std::geometric_distribution<int> geometric(skew > 0 ? 1.0 / (1 << skew) : 0.5);
    Bytes data(size);
    for (auto& b : data) b = static_cast<uint8_t>(skew > 0 ? geometric(random) : random());
    return data;
}

// Gives byte value `v` the code `bits` by hand.
void SetCode(int v, const std::string& bits) {
    CodeTable[v].Present = 1;
    CodeTable[v].Symbol = static_cast<uint8_t>(v);
    CodeTable[v].BitCount = static_cast<int32_t>(bits.size());
    for (size_t i = 0; i < bits.size(); ++i) CodeTable[v].Bits[i] = bits[i] == '1';
}

// Counts the open input and gives A, B and C a hand-made (incomplete)
// prefix code with 1-, 40- and 255-bit codes, which only the encoder for
// codes longer than a word takes.
void CountWithLongCodes() {
    InitLeaves();
    CountFrequencies();
    SetCode('A', "1");
    SetCode('B', std::string("01").append(38, '0'));
    SetCode('C', std::string(255, '0'));
    PackCodeTable();
}

// A stream over fixed bytes whose reads fail, or whose content changes to
// bytes `changed`, from a chosen read on, or (kUntilRewound) once it is
// rewound after reading.
class TroubledStream : public TMemoryStream {
public:
    static constexpr int kUntilRewound = 1 << 30;
    TroubledStream(Bytes data, int goodReads, bool failInstead, uint8_t changed = 0xEE)
        : TMemoryStream(std::move(data)), FGoodReads(goodReads), FFail(failInstead),
          FChanged(changed) {}
    // Its bytes are only to be had through Read.
    std::vector<uint8_t>* MemoryBytes() override { return nullptr; }
    int64_t Seek(int64_t offset, TSeekOrigin origin) override {
        if (FGoodReads == kUntilRewound && origin == TSeekOrigin::soBeginning && offset == 0 &&
            Position() > 0)
            FGoodReads = 0;
        return TMemoryStream::Seek(offset, origin);
    }
    int64_t Read(void* buffer, int64_t count) override {
        if (FGoodReads == kUntilRewound || FGoodReads-- > 0) return TMemoryStream::Read(buffer, count);
        if (FFail) throw EReadError();
        const int64_t n = TMemoryStream::Read(buffer, count);
        std::fill_n(static_cast<uint8_t*>(buffer), n, FChanged);
        return n;
    }

private:
    int FGoodReads;
    bool FFail;
    uint8_t FChanged;
};

// The bytes the program's allocations hold at the moment.
size_t HeldBytes() {
#if VG_ADDRESS_SANITIZER
    return __sanitizer_get_current_allocated_bytes();
#else
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
#endif
}

}  // namespace

TEST_F(CodecTest, AbracadabraGivesTheDocumentedFileCodesAndTree) {
    const Bytes file = Compress(ToBytes("ABRACADABRA"));
    EXPECT_EQ(file, (Bytes{0x07, 0x0F, 0x00, 0x00, 0x00, 0x41, 0x01, 0x00, 0x42, 0x03, 0xC0, 0x43,
                           0x03, 0x80, 0x44, 0x03, 0xA0, 0x52, 0x03, 0xE0, 0x6E, 0x8A, 0xDC}));
    EXPECT_EQ(CodeOf('A'), "0");
    EXPECT_EQ(CodeOf('B'), "110");
    EXPECT_EQ(CodeOf('C'), "100");
    EXPECT_EQ(CodeOf('D'), "101");
    EXPECT_EQ(CodeOf('R'), "111");
    int present = 0;
    for (const CodeEntry& e : CodeTable) present += e.Present;
    EXPECT_EQ(present, 5);
    // C+D first, then B+R (B wins the tie against node 256), then the two
    // internal nodes, then A with node 258.
    EXPECT_EQ(NodePool[256].Left, &NodePool['C']);
    EXPECT_EQ(NodePool[257].Left, &NodePool['B']);
    EXPECT_EQ(NodePool[258].Left, &NodePool[256]);
    EXPECT_EQ(Root, &NodePool[259]);
    EXPECT_EQ(Root->Left, &NodePool['A']);
    EXPECT_EQ(Root->Weight, 11);
    EXPECT_EQ(PredictedSize, 23);
    EXPECT_EQ(Expand(file), ToBytes("ABRACADABRA"));
}

TEST_F(CodecTest, EqualWeightsFavourTheLowerIndex) {
    const Bytes ab = Compress(ToBytes("AB"));
    EXPECT_EQ(ab, (Bytes{0x02, 0x06, 0x00, 0x00, 0x00, 0x41, 0x01, 0x00, 0x42, 0x01, 0x80, 0x40}));
    EXPECT_EQ(Expand(ab), ToBytes("AB"));
    Compress(ToBytes("AAB"));
    EXPECT_EQ(CodeOf('B'), "0");
    EXPECT_EQ(CodeOf('A'), "1");
    // Three and more equal weights: the lowest index is picked first, a
    // leaf before an internal node and an older internal node before a
    // younger one. A+B make node 256, which ties with C and D and waits.
    Compress(ToBytes("DCBADC"));
    EXPECT_EQ(CodeOf('A') + CodeOf('B') + CodeOf('C') + CodeOf('D'), "00" "01" "10" "11");
    // Six of weight 1: A+B, C+D, E+F, then nodes 256+257, then 258 with 259.
    Compress(ToBytes("FEDCBA"));
    EXPECT_EQ(CodeOf('A') + CodeOf('B') + CodeOf('C') + CodeOf('D') + CodeOf('E') + CodeOf('F'),
              "100" "101" "110" "111" "00" "01");
    // Eight values of weight 2 and one of weight 1: a (the lowest of the
    // eight) goes with i, and the other seven pair up in order of value.
    Compress(ToBytes("ihhggffeeddccbbaa"));
    EXPECT_EQ(Root, &NodePool[263]);
    std::string codes;
    for (const char v : std::string("abcdefghi")) codes += CodeOf(v) + " ";
    EXPECT_EQ(codes, "1111 000 001 010 011 100 101 110 1110 ");
}

TEST_F(CodecTest, AllByteValuesGetCodesUnderRoot510) {
    Bytes data(256);
    for (int v = 0; v < 256; ++v) data[v] = static_cast<uint8_t>(v);
    const Bytes file = Compress(data);
    EXPECT_EQ(Root, &NodePool[510]);
    for (const CodeEntry& e : CodeTable) EXPECT_EQ(e.BitCount, 8);
    EXPECT_EQ(Expand(file), data);
}

TEST_F(CodecTest, EmptyInputGivesFiveZeroBytesAndExpandsToNothing) {
    const Bytes file = Compress({});
    EXPECT_EQ(file, Bytes(5, 0));
    EXPECT_EQ(Expand(file), Bytes{});
}

TEST_F(CodecTest, OneRepeatedByteValueGetsTheOneBitCodeZero) {
    EXPECT_EQ(Compress(ToBytes("AAAA")),
              (Bytes{0x04, 0x03, 0x00, 0x00, 0x00, 0x41, 0x01, 0x00, 0x00}));
    EXPECT_EQ(CodeOf('A'), "0");
    EXPECT_EQ(FormatCodeListing(), "Kode: 65- 0\r\n");
    for (const size_t size : {1u, 7u, 8u, 9u, 32768u * 8u, 32768u * 8u + 3u}) {
        const Bytes data(size, 0xFF);
        EXPECT_EQ(Expand(Compress(data)), data) << size;
    }
}

TEST_F(CodecTest, RoundTripsOfManySizesAndSkews) {
    unsigned seed = 1;
    for (const size_t size : {2u, 3u, 100u, 32767u, 32768u, 32769u, 65536u, 100001u}) {
        for (const int skew : {0, 1, 3, 6}) {
            const Bytes data = RandomBytes(size, skew, seed++);
            EXPECT_EQ(Expand(Compress(data)), data) << size << " skew " << skew;
        }
    }
}

// An empty memory stream that holds memory enough for `size` bytes.
std::unique_ptr<TMemoryStream> RoomyMemoryStream(size_t size) {
    Bytes room;
    room.reserve(size);
    return std::make_unique<TMemoryStream>(std::move(room));
}

// Compresses from memory into memory, where the parts' bits go straight to
// their place in an output that holds more memory than the file needs.
Bytes CompressInMemory(const Bytes& data) {
    InputStream = std::make_unique<TMemoryStream>(data);
    OutputStream = RoomyMemoryStream(2 * data.size() + 4096);
    CompressFile();
    Bytes out = static_cast<TMemoryStream&>(*OutputStream).Data();
    CloseFiles();
    return out;
}

TEST_F(CodecTest, SplitWorkGivesTheBytesOfOneThread) {
    unsigned seed = 40;
    for (const size_t size : {999u, 70001u, 250000u}) {
        for (const int skew : {0, 1, 3, 6}) {
            const Bytes data = RandomBytes(size, skew, seed++);
            Bytes plain;
            {
                TuningGuard one(NoSplitting());
                plain = Compress(data);
            }
            TuningGuard fine(FineSplitting());
            EXPECT_EQ(Compress(data), plain) << size << " skew " << skew;
            EXPECT_EQ(CompressInMemory(data), plain) << size << " skew " << skew;
            EXPECT_EQ(Expand(plain), data) << size << " skew " << skew;
        }
    }
}

TEST_F(CodecTest, RunPartsRunsEachPartOnceAndPassesOnTheFirstFailure) {
    TuningGuard threads(FineSplitting());
    for (int round = 0; round < 50; ++round) {
        std::vector<std::atomic<int>> runs(37);
        RunParts(37, [&](int k) { ++runs[static_cast<size_t>(k)]; });
        for (const auto& count : runs) ASSERT_EQ(count.load(), 1) << round;
    }
    std::atomic<int> ran{0};
    try {
        RunParts(20, [&](int k) {
            ++ran;
            if (k == 7 || k == 13) throw EError("part " + std::to_string(k));
        });
        ADD_FAILURE() << "no exception";
    } catch (const EError& e) {
        EXPECT_EQ(e.Message(), "part 7");
    }
    EXPECT_EQ(ran.load(), 20);
    // A call made while another runs, here from its parts on every thread
    // (each part waits a moment, so that all threads take some), runs by
    // itself.
    std::atomic<int> inner{0};
    RunParts(6, [&](int) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        RunParts(3, [&](int) { ++inner; });
    });
    EXPECT_EQ(inner.load(), 18);
}

#if defined(__linux__)
TEST_F(CodecTest, ThreadsKeptForSplitWorkTakeNoSignalsMeantForTheProcess) {
    TuningGuard fine(FineSplitting());
    Compress(RandomBytes(100000, 2, 3));
    int workers = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream status(task.path() / "status");
        std::string line, name;
        uint64_t blocked = 0;
        while (std::getline(status, line)) {
            if (line.rfind("Name:\t", 0) == 0) name = line.substr(6);
            if (line.rfind("SigBlk:\t", 0) == 0) blocked = std::stoull(line.substr(8), nullptr, 16);
        }
        if (name != "codec worker") continue;
        ++workers;
        for (const int signal : {SIGHUP, SIGINT, SIGTERM})
            EXPECT_NE(blocked & uint64_t{1} << (signal - 1), 0u) << signal;
    }
    EXPECT_GT(workers, 0);
}
#endif

TEST_F(CodecTest, DataBitsAreTheCodesPackedOneBitAtATime) {
    for (const int skew : {0, 5}) {
        const Bytes data = RandomBytes(150001, skew, 77);
        const Bytes file = Compress(data);
        Bytes expected(file.begin(), file.begin() + 5 + TableLength);
        int pending = 0;
        uint8_t byte = 0;
        for (const uint8_t v : data) {
            for (int i = 0; i < CodeTable[v].BitCount; ++i) {
                byte = static_cast<uint8_t>(byte << 1 | CodeTable[v].Bits[i]);
                if (++pending == 8) {
                    expected.push_back(byte);
                    pending = 0;
                }
            }
        }
        if (pending > 0) expected.push_back(static_cast<uint8_t>(byte << (8 - pending)));
        EXPECT_EQ(file[0], pending);
        EXPECT_EQ(file, expected) << "skew " << skew;
    }
}

TEST_F(CodecTest, DataSectionOfWholeBlocksEndsCorrectly) {
    // Two one-bit codes: 8 input bytes fill one data byte exactly.
    for (const size_t blocks : {1u, 2u}) {
        Bytes data(blocks * 32768 * 8);
        for (size_t i = 0; i < data.size(); ++i) data[i] = (i * 7919 % 3 == 0) ? 'x' : 'y';
        const Bytes file = Compress(data);
        ASSERT_EQ(file.size(), 5 + 6 + blocks * 32768);
        EXPECT_EQ(file[0], 0);
        EXPECT_EQ(Expand(file), data);
    }
}

TEST_F(CodecTest, FibonacciFrequenciesGiveLongCodesThatRoundTrip) {
    // Weights 1, 1, 2, 3, 5, ... make a tree as deep as it can be.
    Bytes data;
    uint32_t a = 1, b = 1;
    for (int v = 0; v < 25; ++v) {
        data.insert(data.end(), a, static_cast<uint8_t>(v * 10));
        const uint32_t next = a + b;
        a = b;
        b = next;
    }
    std::shuffle(data.begin(), data.end(), std::mt19937(7));
    const Bytes file = Compress(data);
    int longest = 0;
    for (const CodeEntry& e : CodeTable) longest = std::max(longest, e.BitCount);
    EXPECT_GE(longest, 20);
    EXPECT_EQ(Expand(file), data);
}

TEST_F(CodecTest, CodesLongerThanAWordAreWrittenAndReadBack) {
    const Bytes data = ToBytes("ABCABBACCA");
    WriteWholeFile(Path("in"), data);
    OpenInputFile(Path("in"));
    CreateOutputFile(Path("out.234"));
    CountWithLongCodes();
    EXPECT_EQ(TableLength, 3 + 7 + 34);
    const int32_t predicted = PredictCompressedSize();
    EncodeData();
    CloseFiles();
    const Bytes file = ReadWholeFile(Path("out.234"));
    EXPECT_EQ(predicted, static_cast<int32_t>(file.size()));
    EXPECT_EQ(Expand(file), data);
    EXPECT_EQ(CodeTable['C'].BitCount, 255);
}

TEST_F(CodecTest, ListingFormat) {
    Compress(ToBytes("ABRACADABRA"));
    EXPECT_EQ(FormatCodeListing(),
              "Kode: 65- 0\r\nKode: 66- 110\r\nKode: 67- 100\r\nKode: 68- 101\r\nKode: 82- 111\r\n");

    ResetCodec();
    CodeTable[0] = {0, 1, {1}, 1};
    CodeTable[255] = {255, 1, {0}, 1};
    EXPECT_EQ(FormatCodeListing(), "Kode: 0- 1\r\nKode: 255- 0\r\n");
    CodeTable[7] = {7, 1, {}, 0};      // present without bits
    CodeTable[255].Bits[0] = 2;        // anything but 1 lists as 0
    EXPECT_EQ(FormatCodeListing(), "Kode: 0- 1\r\nKode: 7- \r\nKode: 255- 0\r\n");
}

TEST_F(CodecTest, TableLongerThanTheDecoderReadsIsRefused) {
    InitLeaves();
    for (int v = 0; v < 50; ++v) CodeTable[v] = {static_cast<uint8_t>(v), 1, {}, 255};
    try {
        PackCodeTable();
        FAIL() << "a 1700-byte table was packed";
    } catch (const EError& e) {
        EXPECT_NE(e.Message().find("1492"), std::string::npos) << e.Message();
    }
    for (int v = 43; v < 50; ++v) CodeTable[v].Present = 0;
    PackCodeTable();  // 43 records of 34 bytes still fit
    EXPECT_EQ(TableLength, 43 * 34);

    // A table of exactly 1492 bytes is written and read back: value v < 134
    // has the code of v zeros and a one, value 134 the code of 249 zeros.
    const Bytes data = {0, 133, 134, 1, 134, 0};
    WriteWholeFile(Path("in"), data);
    OpenInputFile(Path("in"));
    CreateOutputFile(Path("out.234"));
    InitLeaves();
    CountFrequencies();
    for (int v = 0; v < 134; ++v) SetCode(v, std::string(v, '0') + "1");
    SetCode(134, std::string(249, '0'));
    PackCodeTable();
    ASSERT_EQ(TableLength, 1492);
    PredictCompressedSize();
    EncodeData();
    CloseFiles();
    EXPECT_EQ(Expand(ReadWholeFile(Path("out.234"))), data);
    // One byte more is refused.
    SetCode(0, "100000000");
    EXPECT_THROW(PackCodeTable(), EError);
}

TEST_F(CodecTest, SizesPastSigned32BitsAreRefused) {
    {
        std::ofstream(Path("huge")).close();
        std::filesystem::resize_file(Path("huge"), 2147483647);  // sparse
    }
    EXPECT_THROW(OpenInputFile(Path("huge")), EError);
    EXPECT_EQ(InputStream, nullptr);

    // The predicted size is computed in 64 bits and refused past 2^31 - 1.
    InitLeaves();
    NodePool['a'].Weight = 2147483600;
    CodeTable['a'] = {'a', 1, {0}, 1};
    TableLength = 3;
    EXPECT_EQ(PredictCompressedSize(), 2147483600 / 8 + 3 + 5);
    CodeTable['a'].BitCount = 9;
    EXPECT_THROW(PredictCompressedSize(), EError);
    // A compressed file of 2^31 - 1 bytes could not be opened to expand it.
    CodeTable['a'].BitCount = 8;
    NodePool['a'].Weight = 2147483638;
    EXPECT_EQ(PredictCompressedSize(), 2147483646);
    NodePool['a'].Weight = 2147483639;
    EXPECT_THROW(PredictCompressedSize(), EError);
}

TEST_F(CodecTest, FailingReadsAndWritesRaise) {
    const Bytes data = RandomBytes(100000, 2, 5);
    InputStream = std::make_unique<TroubledStream>(data, 2, true);
    OutputStream = std::make_unique<TMemoryStream>();
    EXPECT_THROW(CompressFile(), EReadError);

    WriteWholeFile(Path("in"), data);
    OpenInputFile(Path("in"));
    CreateOutputFile("/dev/full");
    EXPECT_THROW(CompressFile(), EWriteError);
    CloseFiles();

    const Bytes file = Compress(data);
    InputStream = std::make_unique<TroubledStream>(file, 2, true);
    OutputStream = std::make_unique<TMemoryStream>();
    ResetCodec();
    EXPECT_THROW(DecompressFile(), EReadError);
}

TEST_F(CodecTest, InputChangingBetweenTheTwoPassesIsRefused) {
    // As many bytes as were counted, but of the shortest code: fewer bits
    // than were counted, from the fast encoder and from the one for codes
    // longer than a word.
    {
        const Bytes data = RandomBytes(70000, 3, 8);
        InputStream = std::make_unique<TroubledStream>(data, TroubledStream::kUntilRewound, false, 0);
        CreateOutputFile(Path("out.234"));
        EXPECT_THROW(CompressFile(), EError);
        CloseFiles();
        InputStream = std::make_unique<TroubledStream>(ToBytes("ABCABBACCA"),
                                                       TroubledStream::kUntilRewound, false, 'A');
        CreateOutputFile(Path("out.234"));
        CountWithLongCodes();
        EXPECT_THROW(EncodeData(), EError);
        CloseFiles();
    }
    // Once the input is read a second time the stream hands out other bytes:
    // 0xEE, first a value without a code, then one with the longest code,
    // which gives far more bits than were counted.
    Bytes data = RandomBytes(70000, 3, 9);
    for (const bool present : {false, true}) {
        if (present) data[1234] = 0xEE;
        for (const bool fine : {false, true}) {
            TuningGuard tuning(fine ? FineSplitting() : TCodecTuning{});
            InputStream = std::make_unique<TroubledStream>(data, TroubledStream::kUntilRewound, false);
            OutputStream = RoomyMemoryStream(2 * data.size());
            EXPECT_THROW(CompressFile(), EError) << present << fine;
            EXPECT_EQ(OutputStream->Size(), 0);  // keeps nothing of the refused run
            InputStream = std::make_unique<TroubledStream>(data, TroubledStream::kUntilRewound, false);
            CreateOutputFile(Path("out.234"));
            EXPECT_THROW(CompressFile(), EError) << present << fine;
        }
    }
}

TEST_F(CodecTest, OpeningAndClosingFiles) {
    WriteWholeFile(Path("a"), ToBytes("xyz"));
    EXPECT_TRUE(OpenInputFile(Path("a")));
    EXPECT_EQ(InputSize, 3);
    TStream* const open = InputStream.get();
    try {
        OpenInputFile(Path("missing"));
        FAIL();
    } catch (const EError& e) {
        EXPECT_EQ(e.Message(), "Invalid Filename");
    }
    EXPECT_THROW(OpenInputFile(Path("")), EError);  // the folder itself
    EXPECT_EQ(InputStream.get(), open);
    EXPECT_EQ(InputSize, 3);

    WriteWholeFile(Path("b"), ToBytes("old content"));
    EXPECT_TRUE(CreateOutputFile(Path("b")));
    EXPECT_EQ(std::filesystem::file_size(Path("b")), 0u);
    EXPECT_THROW(CreateOutputFile(Path("no/such/folder")), EFCreateError);

    ResetCodec();
    EXPECT_NE(InputStream, nullptr);
    EXPECT_NE(OutputStream, nullptr);
    CloseFiles();
    CloseFiles();
    EXPECT_EQ(InputStream, nullptr);
    EXPECT_EQ(OutputStream, nullptr);
    EXPECT_THROW(CompressFile(), EError);
}

TEST_F(CodecTest, RunsKeepNoBuffersOnceTheyEnd) {
    // Large enough for every buffer of a run from file to file to count.
    const Bytes data = RandomBytes(size_t{12} << 20, 0, 21);
    WriteWholeFile(Path("in"), data);
    constexpr size_t kSlack = size_t{1} << 20;
    const size_t before = HeldBytes();
    OpenInputFile(Path("in"));
    CreateOutputFile(Path("out.234"));
    CompressFile();
    EXPECT_LT(HeldBytes(), before + kSlack) << "after compressing";
    CloseFiles();
    ResetCodec();
    OpenInputFile(Path("out.234"));
    CreateOutputFile(Path("out"));
    DecompressFile();
    EXPECT_LT(HeldBytes(), before + kSlack) << "after expanding";
    CloseFiles();
    EXPECT_EQ(ReadWholeFile(Path("out")), data);
}
