// SPDX-License-Identifier: GPL-3.0-or-later
#include "fuzz/reader_harness.h"
#include "imagelib/bmp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const ReaderFormat kBmp = {"bmp", PixGetBMPSize, PixReadBMP, PixReadBMP8, nullptr,
                                      PixReadBMPRows, PixReadBMP8Rows};
    return FuzzReader(kBmp, data, size);
}
