// SPDX-License-Identifier: GPL-3.0-or-later
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/reader_harness.h"
#include "imagelib/jpeg.h"
#include "imagelib/jpeg_coefficients.h"

namespace {

void TakeComments() {
    for (int i = 0; i < PixGetJPGCommentCount(); ++i) GlobalFree(PixGetJPGComment(i));
}

std::string CoefficientPath(const char* what) {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/ombrel-fuzz-" +
           std::to_string(getpid()) + "-" + what + ".jpg";
}

// The coefficient read, every block row walked, and the lossless write that
// a sealed JPEG goes through; pictures past the fuzz limit only to their
// header, as the readers.
void FuzzCoefficients(const uint8_t* data, size_t size) {
    static const std::string in = CoefficientPath("in"), out = CoefficientPath("out");
    std::FILE* file = std::fopen(in.c_str(), "wb");
    if (file == nullptr) return;
    const bool written = std::fwrite(data, 1, size, file) == size;
    if (std::fclose(file) != 0 || !written) return;
    uint32_t width = 0, height = 0;
    if (!PixGetJPGSize(in.c_str(), &width, &height) ||
        uint64_t{width} * height > kFuzzMaxPixels)
        return;
    PixJpegCoefficientsPtr jpeg(PixReadJPGCoefficients(in.c_str()));
    if (!jpeg) return;
    for (int c = 0; c < PixGetJPGComponentCount(jpeg.get()); ++c) {
        PixJpegComponent component;
        if (!PixGetJPGComponent(jpeg.get(), c, &component)) std::abort();
        for (uint32_t r = 0; r < component.heightInBlocks; ++r) {
            const int16_t* row = PixGetJPGBlockRow(jpeg.get(), c, r);
            if (row == nullptr) std::abort();
            // Both ends of the row, for the sanitizers to check.
            volatile int16_t ends = static_cast<int16_t>(row[0] ^ row[component.widthInBlocks * 64 - 1]);
            (void)ends;
        }
    }
    PixWriteJPGCoefficients(jpeg.get(), out.c_str());
    std::remove(in.c_str());
    std::remove(out.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const ReaderFormat kJpeg = {"jpg", PixGetJPGSize, PixReadJPG, nullptr, TakeComments};
    FuzzCoefficients(data, size);
    return FuzzReader(kJpeg, data, size);
}
