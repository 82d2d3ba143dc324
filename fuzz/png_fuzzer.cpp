// SPDX-License-Identifier: GPL-3.0-or-later
#include "fuzz/reader_harness.h"
#include "imagelib/png.h"

namespace {

// The text chunks the read kept, copied out as the application would.
void TakeTexts() {
    for (int i = 0; i < PixGetPNGTextCount(); ++i) {
        GlobalFree(PixGetPNGTextKey(i));
        GlobalFree(PixGetPNGTextValue(i));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const ReaderFormat kPng = {"png", PixGetPNGSize, PixReadPNG, PixReadPNG8, TakeTexts,
                                      PixReadPNGRows, PixReadPNG8Rows};
    return FuzzReader(kPng, data, size);
}
