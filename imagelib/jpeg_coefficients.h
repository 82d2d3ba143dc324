// SPDX-License-Identifier: GPL-3.0-or-later
// A JPEG's quantized DCT coefficients, read without decoding the picture and
// written back without compressing it again: a file that went through a read
// and a write unchanged holds the same coefficients, quantization tables,
// sampling, restart interval and APPn/COM segments, byte for byte. Entry
// points leave their code in the thread's last error, as in imagelib/jpeg.h.
#pragma once

#include <cstdint>
#include <memory>

#include "imagelib/state.h"

struct PixJpegCoefficients;  // opaque; holds libjpeg's state of the read

// One colour component: its blocks of 64 coefficients each (natural order,
// not zigzag), widthInBlocks to a block row.
struct PixJpegComponent {
    uint32_t widthInBlocks = 0, heightInBlocks = 0;  // the blocks that hold picture
    int hSampling = 0, vSampling = 0;
    uint16_t quant[64] = {};  // natural order
};

// Reads every coefficient of the JPEG file at `path`, under the same work
// and memory limits as PixReadJPG (codes 5, 2, 9, 30 and 1 as there). Keeps
// the file's APPn and COM segments for the write.
PixJpegCoefficients* PixReadJPGCoefficients(const char* path);

// Compresses width x height RGB pixels once, in memory, as a colour JFIF
// file at `quality` (1 to 100, baseline tables, 2x2 chroma sampling), and
// gives its coefficients. Null with code 5 for a bad argument, 9 or 1.
PixJpegCoefficients* PixCompressJPGCoefficients(const uint8_t* pixels, uint32_t width,
                                                uint32_t height, int quality);

void PixFreeJPGCoefficients(PixJpegCoefficients* jpeg);

uint32_t PixGetJPGWidth(const PixJpegCoefficients* jpeg);
uint32_t PixGetJPGHeight(const PixJpegCoefficients* jpeg);
bool PixIsJPGProgressive(const PixJpegCoefficients* jpeg);
int PixGetJPGComponentCount(const PixJpegCoefficients* jpeg);
// False for an index out of range.
bool PixGetJPGComponent(const PixJpegCoefficients* jpeg, int index, PixJpegComponent* out);
// Block row `row` of component `index`: widthInBlocks x 64 coefficients
// that may be changed in place before the write. Null when out of range.
int16_t* PixGetJPGBlockRow(PixJpegCoefficients* jpeg, int index, uint32_t row);
const int16_t* PixGetJPGBlockRow(const PixJpegCoefficients* jpeg, int index, uint32_t row);

// Writes the coefficients as a JPEG file at `path`: the source's tables,
// sampling, restart interval and coding (progressive with the usual scans
// when the source was; arithmetic when it was; else optimised Huffman
// tables), its APPn and COM segments in their order, and no JFIF or Adobe
// segment of libjpeg's own. A coefficient libjpeg cannot code gives code 9.
// Codes 5, 2 (cannot create), 4 (cannot write), 9; a failure leaves the
// partial file, as PixWriteJPG does.
BOOL PixWriteJPGCoefficients(const PixJpegCoefficients* jpeg, const char* path);

struct PixJpegCoefficientsFree {
    void operator()(PixJpegCoefficients* jpeg) const { PixFreeJPGCoefficients(jpeg); }
};
using PixJpegCoefficientsPtr = std::unique_ptr<PixJpegCoefficients, PixJpegCoefficientsFree>;
