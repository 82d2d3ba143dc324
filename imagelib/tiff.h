// TIFF files, over libtiff.
#pragma once

#include <cstdint>

#include "imagelib/state.h"

HGLOBAL PixReadTIFF(const char* path, uint32_t* width, uint32_t* height);
// Raw indices of a palette TIFF (one sample of 8 bits or less), palette
// filled; 28 for any other TIFF, decided from the tags alone.
HGLOBAL PixReadTIFF8(const char* path, uint32_t* width, uint32_t* height, RGBQUAD* palette);
BOOL PixWriteTIFF(const char* path, const uint8_t* pixels, uint32_t width, uint32_t height);
BOOL PixWriteTIFF8(const char* path, const uint8_t* pixels, uint32_t width, uint32_t height,
                   const RGBQUAD* palette);
BOOL PixGetTIFFSize(const char* path, uint32_t* width, uint32_t* height);
