// SPDX-License-Identifier: GPL-3.0-or-later
#include "fuzz/reader_harness.h"
#include "imagelib/jpeg.h"

namespace {

void TakeComments() {
    for (int i = 0; i < PixGetJPGCommentCount(); ++i) GlobalFree(PixGetJPGComment(i));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const ReaderFormat kJpeg = {"jpg", PixGetJPGSize, PixReadJPG, nullptr, TakeComments};
    return FuzzReader(kJpeg, data, size);
}
