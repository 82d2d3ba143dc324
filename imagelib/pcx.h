// SPDX-License-Identifier: GPL-3.0-or-later
// ZSoft PCX files: run-length coded scan lines, one plane after another.
//
// Readers accept version 0, 2, 3 and 5 files laid out as 1 plane of 1, 2, 4
// or 8 bits, 2 or 4 planes of 1 bit, or 3 planes of 8 bits (red, green,
// blue). A version-5 file of 8 bits per pixel may end with the byte 12 and
// 256 red, green, blue colours; without it the grey ramp (i, i, i) applies.
// Below 8 bits the colours come from the header's 16-entry palette, except
// that a 1-bit file whose two header entries are both black shows black and
// white.
//
// Every entry point leaves its result code in PixGetLastError() (0 on
// success). Failures: 1 out of memory or more than 2^30 pixels, 2 the file
// cannot be opened, 4 a writer could not write all its bytes, 5 a null
// argument or a size the writer cannot store, 22 a header that is short,
// refused or inconsistent (unsupported layout, zero width or height, a scan
// line too short for the width) or data that ends inside a scan line, 28 the
// 8-bit reader given a 24-bit file.
#pragma once

#include <cstdint>

#include "imagelib/state.h"

// Reads a PCX file into a 24-bit buffer (red, green, blue, top row first, no
// row padding) of *width x *height pixels: a GMEM_MOVEABLE block, unlocked,
// that the caller owns and frees with GlobalFree. *width and *height are set
// once the header is accepted and are left alone when it is refused. On
// failure returns null and frees everything it took.
HGLOBAL PixReadPCX(const char* path, uint32_t* width, uint32_t* height);

// As PixReadPCX, decoding only the top `rows` scan lines (all of them when
// the picture has fewer): the block holds *taken rows, byte for byte the top
// rows PixReadPCX returns, while *width and *height give the whole picture.
// Data past those lines is not looked at, so a file cut short below them
// still reads. The size limit applies to the whole picture the header
// states. A null `taken` gives 5.
HGLOBAL PixReadPCXRows(const char* path, uint32_t* width, uint32_t* height, uint32_t rows,
                       uint32_t* taken);

// Reads a PCX file of at most 8 bits per pixel into an 8-bit buffer (one
// palette index per pixel, top row first, no padding), a block the caller
// owns as with PixReadPCX. Fills the caller's 256-entry palette: entries 0
// to 2^bits - 1 with the file's colours, the rest zeroed. A 24-bit file gives
// null and code 28 and leaves *width, *height and the palette untouched.
HGLOBAL PixReadPCX8(const char* path, uint32_t* width, uint32_t* height, RGBQUAD* palette);

// As PixReadPCX8, decoding only the top `rows` scan lines, as PixReadPCXRows.
HGLOBAL PixReadPCX8Rows(const char* path, uint32_t* width, uint32_t* height, RGBQUAD* palette,
                        uint32_t rows, uint32_t* taken);

// Writes width x height 24-bit pixels (red, green, blue, top row first) as a
// version-5, 3-plane PCX file. Width must be 1 to 65534 and height 1 to
// 65535, or the call fails with 5 and creates no file. Returns nonzero on
// success; a write that fails part way (4) leaves a partial file.
BOOL PixWritePCX(const char* path, const uint8_t* pixels, uint32_t width, uint32_t height);

// Writes width x height palette indices as a version-5, 1-plane 8-bit PCX
// file followed by the byte 12 and the 256 palette colours (red, green,
// blue; reserved bytes ignored). Limits and failures as PixWritePCX.
BOOL PixWritePCX8(const char* path, const uint8_t* pixels, uint32_t width, uint32_t height,
                  const RGBQUAD* palette);

// Reads only the header and gives the picture's size. Refuses the same
// headers as the readers (22); never allocates. Returns nonzero on success;
// *width and *height are left alone on failure.
BOOL PixGetPCXSize(const char* path, uint32_t* width, uint32_t* height);
