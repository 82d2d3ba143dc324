// Colour reduction to a palette, and conversion to grey.
#pragma once

#include <cstdint>

#include "imagelib/state.h"

// Reduces a 24-bit buffer to at most `colours` (1 to 256) palette entries
// with error diffusion; fills width x height indices and the palette.
BOOL PixQuantize(const uint8_t* rgb, uint8_t* indices, uint32_t width, uint32_t height,
                 unsigned colours, RGBQUAD* palette);

// Grey level of every pixel of a 24-bit buffer, one byte per pixel.
BOOL PixRGBToGray(const uint8_t* rgb, uint32_t width, uint32_t height, uint8_t* indices);
