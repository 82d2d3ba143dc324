// SPDX-License-Identifier: GPL-3.0-or-later
// The 8-bit methods. The base image is reduced to 128 (7/8) or 64 (6/8)
// colours; the output palette lists each reduced colour 2 or 4 times in a
// row, so the low 1 or 2 bits of every index carry payload without changing
// the colour shown:
//
//   7/8: index 2q + b          b = bit m of payload byte k, pixel 8k + m
//   6/8: index 4q + bb         bb = bits 2m, 2m+1 of payload byte k, pixel 4k + m
//
// q is the pixel's reduced index. Pixels past the payload get bits 0.
#pragma once

#include <cstdint>

#include "hiding/payload.h"
#include "imagelib/state.h"

// Colours asked of the quantizer: 128 for 7/8, 64 for 6/8.
unsigned ReducedColours(HidingMethod method);

// Entries 2c, 2c+1 (7/8) or 4c..4c+3 (6/8) take reduced colour c; reserved
// bytes are left as `spread` had them.
void BuildSpreadPalette(HidingMethod method, const RGBQUAD* reduced, RGBQUAD* spread);

// Rewrite every index of `indices` (n reduced indices) in place.
void Embed78(uint8_t* indices, uint64_t n, const uint8_t* payload, uint64_t size);
void Embed68(uint8_t* indices, uint64_t n, const uint8_t* payload, uint64_t size);
