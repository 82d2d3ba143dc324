// SPDX-License-Identifier: GPL-3.0-or-later
// Colour reduction to a palette, and conversion to grey. Both fill buffers
// the caller provides and owns; neither keeps any pointer after it returns.
#pragma once

#include <cstdint>

#include "imagelib/state.h"

// Reduces the 24-bit buffer `rgb` (width x height pixels, red, green, blue,
// top row first) to at most `colours` palette entries and maps every pixel
// to one of them with serpentine error diffusion.
//
// `colours` above 256 is taken as 256, and 0 as 1; call the result N.
// `indices` receives width x height palette indices, each below the number
// of entries made (at most N). `palette` must hold 256 entries: entries 0 to
// N - 1 get their blue, green and red (entries beyond those made are black);
// reserved bytes and entries from N on are left alone.
//
// The result depends only on the input: no floating point, so every machine
// gives the same indices and palette bit for bit.
//
// Returns nonzero with last error 0. On failure returns zero with the last
// error set and `indices` and `palette` untouched: kPixErrParam for a null
// pointer or a width x height whose byte size does not fit in memory,
// kPixErrMemory when scratch memory (under 2 MB, plus 12 bytes per column)
// cannot be had.
BOOL PixQuantize(const uint8_t* rgb, uint8_t* indices, uint32_t width, uint32_t height,
                 unsigned colours, RGBQUAD* palette);

// Writes the grey level (0.299 red + 0.587 green + 0.114 blue, truncated) of
// each pixel of the 24-bit buffer `rgb` to the matching byte of `indices`
// (width x height bytes), for use with a palette whose entry i is grey i.
//
// Returns nonzero with last error 0; zero with kPixErrParam, and `indices`
// untouched, for a null pointer or a width x height whose byte size does not
// fit in memory.
BOOL PixRGBToGray(const uint8_t* rgb, uint32_t width, uint32_t height, uint8_t* indices);
