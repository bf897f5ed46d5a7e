// Expansion of run-length compressed BMP pixel data.
#pragma once

#include <cstdint>
#include <vector>

#include "imaging/bitmap.h"

// Expands 8-bit (bits = 8) or 4-bit (bits = 4) run-length data into the
// bottom-up store `image`, which is already sized and zero-filled. Runs that
// reach past a row or past the image are cut at the edge; data that ends
// early leaves the remaining pixels as they are.
void ExpandRle(const std::vector<uint8_t>& data, int bits, TBitmapImage& image);
