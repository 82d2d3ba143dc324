// SPDX-License-Identifier: GPL-3.0-or-later
#include "fuzz/reader_harness.h"
#include "imagelib/tiff.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const ReaderFormat kTiff = {"tif", PixGetTIFFSize, PixReadTIFF, PixReadTIFF8, nullptr,
                                      PixReadTIFFRows, PixReadTIFF8Rows};
    return FuzzReader(kTiff, data, size);
}
