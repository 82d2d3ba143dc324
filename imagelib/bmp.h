// Windows bitmap files.
#pragma once

#include <cstdint>

#include "imagelib/state.h"

// Reads a BMP file (1, 2, 4, 8, 16, 24 or 32 bits, run-length 4 and 8 bits)
// into a 24-bit buffer. Null on failure, with width and height left at 0.
HGLOBAL PixReadBMP(const char* path, uint32_t* width, uint32_t* height);

// Reads an uncompressed BMP of 8 bits or less into an 8-bit index buffer and
// fills `palette` from the file's colour table (entries it lacks untouched).
HGLOBAL PixReadBMP8(const char* path, uint32_t* width, uint32_t* height, RGBQUAD* palette);

// Writes a 24-bit buffer as an uncompressed 24-bit BMP.
BOOL PixWriteBMP(const char* path, const uint8_t* pixels, uint32_t width, uint32_t height);

// Writes an 8-bit index buffer as an uncompressed BMP of `bits` (1, 4 or 8)
// bits per pixel with `colours` palette entries.
BOOL PixWriteBMP8(const char* path, const uint8_t* pixels, uint32_t width, uint32_t height,
                  int bits, int colours, const RGBQUAD* palette);

// Reads width and height from the headers only.
BOOL PixGetBMPSize(const char* path, uint32_t* width, uint32_t* height);
