// SPDX-License-Identifier: GPL-3.0-or-later
// PNG files, over libpng. Settings (screen gamma, background colour, density
// to write) and the two text lists live in the calling thread's record, so
// threads never see each other's.
#pragma once

#include <cstdint>

#include "imagelib/state.h"

// Reads any PNG into a 24-bit RGB buffer: palettes and grey levels expanded,
// 16-bit samples cut to their high byte, transparency flattened against the
// file's bKGD colour or else the thread's background, gamma corrected for
// the thread's screen gamma when the file's gAMA (or sRGB) calls for it.
// Also replaces the thread's "texts read" list with the file's text chunks
// (those before and after the image data, in file order) and records its
// pHYs values. The caller frees the buffer with GlobalFree.
// On failure returns null with width and height 0; codes: 2 cannot open
// (texts read kept), 15 corrupt or not a PNG, 16 libpng structures not
// created, 1 no memory or more than 2^30 pixels, 5 null width/height pointer.
// Any failure after opening leaves texts read empty.
HGLOBAL PixReadPNG(const char* path, uint32_t* width, uint32_t* height);

// As PixReadPNG, decoding only the top `rows` rows (all of them when it has
// fewer): the block holds *taken rows, byte for byte the top rows PixReadPNG
// returns, while *width and *height give the whole picture. The rest of a
// non-interlaced file is not read, so damage below those rows goes unseen;
// an interlaced file, whose every pass reaches the bottom row, is read to
// its end, but only the top rows are kept. The text lists and density read
// are left alone.
// The size limit applies to the whole picture the header states. A null
// `taken` gives 5.
HGLOBAL PixReadPNGRows(const char* path, uint32_t* width, uint32_t* height, uint32_t rows,
                       uint32_t* taken);

// Reads the raw indices of a palette PNG (colour type 3, any bit depth) into
// an 8-bit buffer, one index per pixel, and fills `palette`: blue, green, red
// of each PLTE entry, 0 for entries past the PLTE; reserved bytes untouched.
// Transparency, gamma and background play no part; the text lists and the
// density read are left alone. Any other PNG gives 28 from its header, before
// any row is decoded. On failure returns null, width and height 0 and the
// palette untouched; codes as PixReadPNG, and 5 for a null palette.
HGLOBAL PixReadPNG8(const char* path, uint32_t* width, uint32_t* height, RGBQUAD* palette);

// As PixReadPNG8, decoding only the top `rows` rows, as PixReadPNGRows.
HGLOBAL PixReadPNG8Rows(const char* path, uint32_t* width, uint32_t* height, RGBQUAD* palette,
                        uint32_t rows, uint32_t* taken);

// PixWritePNGEx(path, pixels, width, height, width * 3, 8, 16777216, null,
// 2, gamma, 0, 0): a 24-bit RGB buffer as an 8-bit RGB PNG.
BOOL PixWritePNG(const char* path, const uint8_t* pixels, uint32_t width, uint32_t height,
                 double gamma);

// PixWritePNGEx(path, pixels, width, height, width, 8, colours, palette, 3,
// gamma, 0, 0): an 8-bit index buffer as an 8-bit palette PNG.
BOOL PixWritePNG8(const char* path, const uint8_t* pixels, uint32_t width, uint32_t height,
                  int colours, const RGBQUAD* palette, double gamma);

// Writes `height` rows of `rowBytes` bytes each from `pixels` as a PNG of the
// given colour type, bit depth and interlace type (0 none, 1 Adam7). Below 8
// bits a row holds one sample per byte; libpng packs them. 8-bit images
// without interlace are filtered (palette rows not) and compressed on several
// threads (see PixSetPNGWriteThreads), the rest by libpng row by row. When `palette` is
// given, its first `colours` (at most 256) entries become the PLTE chunk.
// The file also gets a tIME chunk (now, UTC), a bKGD chunk of the thread's
// background colour, a pHYs chunk of the thread's density to write, a gAMA
// chunk when gamma > 0, and one tEXt or zTXt chunk per entry of the thread's
// "texts to write" list, in order; a successful write empties that list, a
// failed one keeps it for a retry. `reserved` is ignored.
// Returns nonzero on success. Codes: 5 null pixels, a row shorter than the
// image's width needs, or a colour count outside 0..256 with a palette (no
// file touched); 16 libpng refused the write (for example a colour type and
// bit depth that do not go together: no file touched) or failed while
// writing; 2 cannot open; 4 palette copy not allocated or the data could not
// be flushed to disk; 1 out of memory. A write that fails while
// writing rows leaves a partial file.
BOOL PixWritePNGEx(const char* path, const uint8_t* pixels, uint32_t width, uint32_t height,
                   uint32_t rowBytes, int bitDepth, int colours, const RGBQUAD* palette,
                   int colourType, double gamma, int32_t reserved, int interlace);

// Sets the threads the calling thread's PNG writes of 8-bit, non-interlaced
// images use (the others stay on one) and returns the previous value. 0, the
// initial value, lets each write take one per core, fewer for small images.
unsigned PixSetPNGWriteThreads(unsigned threads);

// Reads width and height from the file's header. Texts are not touched.
// Codes: 2, 15, 16 as PixReadPNG; 5 for a null pointer.
BOOL PixGetPNGSize(const char* path, uint32_t* width, uint32_t* height);

// Sets the screen gamma the reader corrects for (initially 2.9) and returns
// the previous one. A value that is not a positive number turns gamma
// correction off. Leaves the last error alone.
double PixSetPNGGamma(double gamma);

// Sets the background colour: the reader flattens transparency against it
// when a file has no bKGD chunk (red, green, blue as 8-bit values), the
// writer stores it as the bKGD chunk. Leaves the last error alone.
void PixSetPNGBackground(uint8_t index, uint16_t red, uint16_t green, uint16_t blue, uint16_t grey);

// Empties both text lists (read and to write). Last error 0.
void PixClearPNGText();

// Appends (key, text, compressed) to the texts to write; nonzero compressed
// asks for a zTXt chunk. An empty or null key adds nothing and returns 0;
// a null text is taken as empty. Last error 0.
BOOL PixAddPNGText(const char* key, const char* text, int32_t compressed);

// The number of texts read by the last PixReadPNG. Last error 0.
int PixGetPNGTextCount();

// A copy of the key (or text) of entry `index` of the texts read, as a new
// zero-terminated movable block the caller frees with GlobalFree. Null with
// code 5 when index is negative or not below the count, code 1 when the
// block cannot be allocated.
HGLOBAL PixGetPNGTextKey(int index);
HGLOBAL PixGetPNGTextValue(int index);

// The compressed flag of entry `index` of the texts read (nonzero for a
// compressed chunk), so that a save can write the text back as it came.
// -1 with code 5 when index is out of range; code 0 otherwise.
int32_t PixGetPNGTextCompressed(int index);
