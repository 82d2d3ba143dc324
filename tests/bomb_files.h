// SPDX-License-Identifier: GPL-3.0-or-later
// Small files that claim huge pictures, made on the spot: each once took a
// reader gigabytes.
#pragma once

#include <cstdint>
#include <string>

#include "tests/test_util.h"

// A progressive JPEG of a flat grey picture of width x height, its frame
// header then rewritten to claim claimWidth x claimHeight: the scans end
// long before the picture, as a truncated file's would. Arithmetic coding
// or Huffman; 4:2:0 or full-size colour.
Bytes MakeProgressiveJpeg(uint32_t width, uint32_t height, bool arithmetic, bool subsampled,
                          uint32_t claimWidth, uint32_t claimHeight);

// The same with one sequential (baseline) scan: a few hundred bytes that
// claim a picture of claimWidth x claimHeight.
Bytes MakeBaselineJpeg(uint32_t width, uint32_t height, uint32_t claimWidth,
                       uint32_t claimHeight);

// A grey progressive JPEG of a flat width x height picture whose last
// refinement scan is repeated until the file holds `scans` scans: each
// walks every block again for a few bytes.
Bytes MakeManyScanJpeg(uint32_t width, uint32_t height, int scans);

// A deflate RGB TIFF of width x height zeros whose strips of `unit` rows
// (or tiles of unit x unit pixels) all point at the one stored unit.
Bytes MakeSharedStripTiff(uint32_t width, uint32_t height, uint32_t unit, bool tiled);

// A one-strip zstd RGB TIFF of width x height black pixels, complete and
// valid: zstd's run-length blocks hold 128 KiB of zeros in 4 bytes.
void WriteZstdStripTiff(const std::string& path, uint32_t width, uint32_t height);

// An RGB PNG of width x height whose image data stops after `rows` rows of
// zeros (the zlib stream is flushed, not finished).
Bytes MakeCutShortPng(uint32_t width, uint32_t height, uint32_t rows);

// A complete PNG of width x height zeros, at zlib's best ratio: 8-bit RGB,
// or another depth and colour type, Adam7 interlaced or not.
void WriteZeroPng(const std::string& path, uint32_t width, uint32_t height, uint8_t depth = 8,
                  uint8_t colourType = 2, bool interlaced = false);

// A 1 x 1 PNG with `chunks` zTXt chunks, each inflating to `textBytes`.
Bytes MakeTextBombPng(int chunks, size_t textBytes);

// A 16-bit RGBA PNG of one row `width` pixels wide, with almost no data.
Bytes MakeWideRowPng(uint32_t width);
