// SPDX-License-Identifier: GPL-3.0-or-later
#include "hiding/palette.h"

unsigned ReducedColours(HidingMethod method) {
    return method == Method78 ? 128 : 64;
}

void BuildSpreadPalette(HidingMethod method, const RGBQUAD* reduced, RGBQUAD* spread) {
    const unsigned copies = method == Method78 ? 2 : 4;
    for (unsigned i = 0; i < kPixPaletteEntries; ++i) {
        const RGBQUAD& colour = reduced[i / copies];
        spread[i].rgbBlue = colour.rgbBlue;
        spread[i].rgbGreen = colour.rgbGreen;
        spread[i].rgbRed = colour.rgbRed;
    }
}

void Embed78(uint8_t* indices, uint64_t n, const uint8_t* payload, uint64_t size) {
    const uint64_t carried = size < n / 8 ? size * 8 : n - n % 8;
    for (uint64_t j = 0; j < carried; ++j)
        indices[j] = static_cast<uint8_t>(indices[j] << 1 | ((payload[j / 8] >> (j % 8)) & 1));
    for (uint64_t j = carried; j < n; ++j) indices[j] = static_cast<uint8_t>(indices[j] << 1);
}

void Embed68(uint8_t* indices, uint64_t n, const uint8_t* payload, uint64_t size) {
    const uint64_t carried = size < n / 4 ? size * 4 : n - n % 4;
    for (uint64_t j = 0; j < carried; ++j)
        indices[j] =
            static_cast<uint8_t>(indices[j] << 2 | ((payload[j / 4] >> (2 * (j % 4))) & 3));
    for (uint64_t j = carried; j < n; ++j) indices[j] = static_cast<uint8_t>(indices[j] << 2);
}
