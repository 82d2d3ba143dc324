// SPDX-License-Identifier: GPL-3.0-or-later
#include "fuzz/reader_harness.h"
#include "imagelib/pcx.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const ReaderFormat kPcx = {"pcx", PixGetPCXSize, PixReadPCX, PixReadPCX8, nullptr,
                                      PixReadPCXRows, PixReadPCX8Rows};
    return FuzzReader(kPcx, data, size);
}
