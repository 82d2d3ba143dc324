// SPDX-License-Identifier: GPL-3.0-or-later
// TIFF files, over libtiff. Every entry point leaves its result code for
// PixGetLastError (0 on success). libtiff's errors and warnings go to the
// debugger output, never to the user.
#pragma once

#include <cstdint>

#include "imagelib/state.h"

// Reads the first image of a TIFF file, of any kind libtiff's RGBA interface
// can render (grey, palette, RGB, YCbCr, CMYK, Lab, 1 to 16 bits, strips or
// tiles, any compression libtiff has a codec for), into a 24-bit buffer, top
// row first, alpha dropped. The caller owns the returned block and frees it
// with GlobalFree; the block may be larger than width x height x 3 bytes.
// Also stores the file's resolution in the thread's tiffResolutionRead.
// On failure returns null with width and height at 0: 2 the file cannot be
// opened as a TIFF, 20 libtiff cannot render or decode it, 1 no memory or
// more than kPixMaxPixels pixels.
HGLOBAL PixReadTIFF(const char* path, uint32_t* width, uint32_t* height);

// As PixReadTIFF, decoding only the strips or tiles that hold the top `rows`
// rows (all rows when the picture has fewer), the orientation honoured: the
// block holds the top *taken rows (at least min(rows, *height), more where a
// strip or tile reaches further), byte for byte those PixReadTIFF returns,
// while *width and *height give the whole picture. A file stored in a single
// strip is read whole. The size limit applies to the whole picture the header
// states. A null `taken` gives 5.
HGLOBAL PixReadTIFFRows(const char* path, uint32_t* width, uint32_t* height, uint32_t rows,
                        uint32_t* taken);

// Reads the raw indices of a palette TIFF (Photometric palette, one sample of
// 1, 2, 4 or 8 bits) into an 8-bit buffer, one index per byte, top row first,
// and fills `palette` (B, G, R of every entry; entries beyond 2^bits get 0,
// reserved bytes are left alone). ColorMap values are taken by their high
// byte, so a palette written by PixWriteTIFF8 comes back unchanged. The caller
// owns the block (GlobalFree). On failure returns null with width and height
// at 0: 5 null palette, 2 cannot open, 28 any other kind of TIFF (decided from
// the tags, before any pixel data is decoded), 20 damaged data, 1 no memory or
// more than kPixMaxPixels pixels in the picture or in one of its tiles.
HGLOBAL PixReadTIFF8(const char* path, uint32_t* width, uint32_t* height, RGBQUAD* palette);

// As PixReadTIFF8, decoding only the strips or tiles that hold the top `rows`
// rows; *taken gives the rows the block holds. Files stored bottom up, whose
// top rows come last, are read whole.
HGLOBAL PixReadTIFF8Rows(const char* path, uint32_t* width, uint32_t* height, RGBQUAD* palette,
                         uint32_t rows, uint32_t* taken);

// Writes a 24-bit buffer (width x height x 3 bytes) as an uncompressed,
// contiguous RGB TIFF with the thread's tiffResolutionWrite. Nonzero on
// success. Failures: 5 null path or pixels, zero width or height; 2 cannot
// create the file; 1 no memory; 4 libtiff failed to write (a partly written
// file is left on disk).
BOOL PixWriteTIFF(const char* path, const uint8_t* pixels, uint32_t width, uint32_t height);

// Writes an 8-bit index buffer (width x height bytes) as an uncompressed
// palette TIFF whose ColorMap is `palette` with each byte times 257 (all 256
// entries). Results and failures as PixWriteTIFF; a null palette gives 5.
BOOL PixWriteTIFF8(const char* path, const uint8_t* pixels, uint32_t width, uint32_t height,
                   const RGBQUAD* palette);

// Reads width and height from the first directory, and the resolution into
// tiffResolutionRead, without looking at the pixel data: a file the reader
// would refuse may still report its size. Nonzero on success; 2 when libtiff
// cannot open it (width and height then 0).
BOOL PixGetTIFFSize(const char* path, uint32_t* width, uint32_t* height);
