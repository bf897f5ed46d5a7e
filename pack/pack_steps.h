// The steps between a BMP picture, its JPEG and a ".234" file: encoding a
// picture as JPEG (quality 90) and decoding it, and the codec's runs that
// compress and expand. The windows and the command-line tool both take
// them from here; how a step's files are named and kept is the caller's.
//
// The codec has one workspace: its runs go one at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "imaging/bitmap.h"
#include "imaging/jpeg.h"

namespace pack {

// --- the codec's runs -------------------------------------------------------

// Makes `bytes` the codec's input, in place of a file: the codec reads
// bytes in memory where they lie. EError when they are too many for it.
void OpenInputBytes(std::vector<uint8_t> bytes);

// Compresses the codec's open input into the new file `outputName`, then
// closes the codec's files. `created` runs once the file exists, before
// anything is written into it.
void CompressInputInto(const std::string& outputName, const std::function<void()>& created = nullptr);

// Expands the codec's open input (ResetCodec must have run before it was
// opened) into the new file `outputName`, then closes the codec's files.
void ExpandInputInto(const std::string& outputName, const std::function<void()>& created = nullptr);

// The same into memory: returns the expanded bytes.
std::vector<uint8_t> ExpandInputToBytes();

// --- pictures ---------------------------------------------------------------

// The JPEG encoding of `bitmap` with the default settings (baseline,
// quality 90); no bytes for an empty picture.
std::vector<uint8_t> EncodeJpegBytes(const TBitmap& bitmap);

// Decodes `jpeg` into `bitmap` (as bitmap.Assign(&jpeg) does) and saves
// it into the new file `fileName`, the same bytes as bitmap.SaveToFile.
// Where a second thread may be used, the rows decoded are written while the
// later ones are decoded. `created` runs once the file exists. After a
// failure the file is removed, the bitmap left as the failed Assign left it.
void DecodeJpegToFile(TJPEGImage& jpeg, TBitmap& bitmap, const std::string& fileName,
                      const std::function<void()>& created = nullptr);

}  // namespace pack
