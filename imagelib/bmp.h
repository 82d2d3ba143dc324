// SPDX-License-Identifier: GPL-3.0-or-later
// Windows bitmap files: readers for the common variants, an uncompressed
// writer, and a size query.
//
// Information headers of 12 bytes (OS/2 1.x: 16-bit width and height, 3-byte
// colour-table entries), 16 and 64 (OS/2 2.x), 40, 52, 56, 108 and 124 bytes
// are read; the colour table starts right after the header. Any other header
// size is refused with kPixErrBmp. Every entry point leaves its result code in
// the calling thread's last error (PixGetLastError), 0 on success.
#pragma once

#include <cstdint>

#include "imagelib/state.h"

// Reads a BMP of 1, 2, 4, 8, 16, 24 or 32 bits per pixel, uncompressed, 8-bit
// (compression 1) or 4-bit (compression 2) run-length, or bit fields
// (compression 3) at 16 and 32 bits, into a 24-bit buffer: red, green, blue,
// top row first, no row padding. The block is GMEM_MOVEABLE, unlocked, and
// the caller frees it with GlobalFree.
//
// Plain 16-bit pixels are 5-5-5, each component c becoming c * 8 + 7; a bit
// field component of n bits becomes round(c * 255 / (2^n - 1)); alpha is
// ignored. Indices the colour table does not supply, and run-length pixels no
// run covers, are black. Run-length pixels past the row end are dropped.
//
// On success width and height hold the picture's size. On failure returns
// null, width and height stay 0, and the last error is 1 (larger than
// kPixMaxPixels, or no memory; also a run-length file whose height is not
// positive), 2 (cannot open), 3 (file, colour table or pixel data cut short,
// including data that would run past the end of the file), 5 (null width or
// height pointer) or 6 (no "BM", unknown header size, unsupported depth or
// compression, height -2^31, run-length data that writes above the top row).
// A width of 0 or less returns null with last error 0: the caller reports
// such a file as "not a valid image".
HGLOBAL PixReadBMP(const char* path, uint32_t* width, uint32_t* height);

// As PixReadBMP, reading only the top `rows` rows of an uncompressed file
// (all of them when it has fewer): the block holds *taken rows, byte for byte
// the top rows PixReadBMP returns, while *width and *height give the whole
// picture. Run-length files are read whole (*taken = *height). Rows outside
// those read are not looked at: a file cut short below them still reads. The
// size limit applies to the whole picture the header states. A null `taken`
// gives 5.
HGLOBAL PixReadBMPRows(const char* path, uint32_t* width, uint32_t* height, uint32_t rows,
                       uint32_t* taken);

// Reads an uncompressed BMP of 1, 2, 4 or 8 bits per pixel into an 8-bit
// buffer, one palette index per byte, top row first; the caller frees it with
// GlobalFree. Fills the blue, green and red bytes of the first
// min(colours, 256) entries of `palette` (256 entries) from the file's colour
// table, where colours is the header's colours-used count or 2^bits when that
// is 0; the other entries and every reserved byte are left as they were. The
// palette may be changed even when the read later fails.
//
// On failure returns null with width and height 0 and the last error: 5 (null
// palette, width or height pointer), 2, 3 and 6 as for PixReadBMP (6 also for
// a depth other than 1, 2, 4 or 8), 7 (any compression), 28 (more than 8
// bits per pixel), 1 (too large or no memory). A width of 0 or less returns
// null with last error 0.
HGLOBAL PixReadBMP8(const char* path, uint32_t* width, uint32_t* height, RGBQUAD* palette);

// As PixReadBMP8, reading only the top `rows` rows, as PixReadBMPRows does.
HGLOBAL PixReadBMP8Rows(const char* path, uint32_t* width, uint32_t* height, RGBQUAD* palette,
                        uint32_t rows, uint32_t* taken);

// Writes width x height 24-bit pixels (red, green, blue, top row first) as an
// uncompressed 24-bit BMP with a 40-byte header, rows bottom first, each
// padded to 4 bytes. Returns nonzero on success. Failure returns 0 with 5
// (null pixels; a picture too large for the format's 32-bit sizes), 1, 2
// (cannot create the file) or 4 (a short write or a failed close). Parameter
// failures touch no file; a failure after the file is opened leaves a partial
// file behind.
BOOL PixWriteBMP(const char* path, const uint8_t* pixels, uint32_t width, uint32_t height);

// Writes an 8-bit index buffer (width x height bytes, top row first) as an
// uncompressed BMP of `bits` (1, 4 or 8) bits per pixel whose colour table is
// the first `colours` entries of `palette` (reserved bytes written as 0).
// Indices are packed most significant bits first; an index wider than `bits`
// has its high bits dropped. Failures as PixWriteBMP, and 5 also for a null
// palette, other bits, or a colour count below 0, above 256 or above 2^bits.
BOOL PixWriteBMP8(const char* path, const uint8_t* pixels, uint32_t width, uint32_t height,
                  int bits, int colours, const RGBQUAD* palette);

// Reads width and the absolute value of the height from the headers only.
// Returns nonzero on success; on failure 0 with width and height 0 and the
// last error 2, 3, 5 (null width or height pointer) or 6 (no "BM", unknown
// header size, height -2^31). The width is the stored one, not checked.
BOOL PixGetBMPSize(const char* path, uint32_t* width, uint32_t* height);
