// Helpers for the codec's tests: a scratch folder, whole-file reading and
// writing, and one-call compression and expansion over files or memory.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "codec/unit2.h"
#include "codec/unit2_parallel.h"
#include "tests/support/temp_dir.h"

using Bytes = std::vector<uint8_t>;

Bytes ToBytes(const std::string& text);
Bytes ReadWholeFile(const std::string& name);
void WriteWholeFile(const std::string& name, const Bytes& data);

// Every test gets a fresh scratch folder and closed codec files.
class CodecTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::string Path(const std::string& name) const { return FFolder / name; }

    // Compresses `data` through real files; also checks that the file has
    // the predicted size.
    Bytes Compress(const Bytes& data);
    // Expands through real files, after ResetCodec.
    Bytes Expand(const Bytes& compressed);

private:
    TempDir FFolder;
};

// Expands in memory (fast, for many damaged variants of one file).
Bytes ExpandInMemory(const Bytes& compressed);

// Work split far finer than usual, so that small inputs take the threaded
// paths: many blocks and parts when compressing, many rounds and lanes of
// a few codes each when expanding.
unit2::TCodecTuning FineSplitting();
// Everything on the calling thread, in one part.
unit2::TCodecTuning NoSplitting();

// Sets the codec's tuning for the life of the guard.
class TuningGuard {
public:
    explicit TuningGuard(const unit2::TCodecTuning& tuning) : FSaved(unit2::CodecTuning()) {
        unit2::CodecTuning() = tuning;
    }
    ~TuningGuard() { unit2::CodecTuning() = FSaved; }

private:
    unit2::TCodecTuning FSaved;
};
