// SPDX-License-Identifier: GPL-3.0-or-later
// The image data of a PNG written on several threads. The filtered rows are
// one byte stream cut into equal segments; each segment is filtered and
// deflated on its own, primed with the 32 KiB before it as dictionary and
// ended with a sync flush, so that the segments joined in order (and the
// Adler-32 values combined) make the single zlib stream PNG asks for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// 8-bit samples, rows from the top, no interlace.
struct PngRows {
    const uint8_t* pixels = nullptr;
    uint32_t height = 0;
    size_t stride = 0;    // from one row's start to the next
    size_t rowBytes = 0;  // samples of one row, at most stride
    unsigned bpp = 1;     // bytes per pixel, the filters' left neighbour
    bool filter = true;   // false: every row filter None (libpng's choice for palettes)
};

// Filtered bytes a segment holds.
constexpr size_t kPngSegmentBytes = 64 * 1024;

// The threads a write of `rows` uses when left to choose: one per core, but
// only as many as keep the memory they hold within a tenth of the pixels,
// so that an image under some 5 MB stays on one.
unsigned PngWriteThreads(const PngRows& rows);

// Writes the rows to `file` as IDAT chunks on `threads` threads (0: as
// PngWriteThreads). Returns 0, kPixErrWrite when the file refused bytes, or
// kPixErrMemory; on failure part of the data may already be in the file.
int WritePngImageData(std::FILE* file, const PngRows& rows, unsigned threads);
