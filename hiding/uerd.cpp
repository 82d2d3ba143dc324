// SPDX-License-Identifier: GPL-3.0-or-later
#include "hiding/uerd.h"

#include <cstdlib>
#include <new>

bool UerdDenominators(const CoefficientPlane& plane, std::vector<float>* out) {
    const size_t w = plane.widthInBlocks, h = plane.heightInBlocks;
    std::vector<float> energy;
    try {
        energy.resize(w * h);
        out->assign(w * h, 0.0f);
    } catch (const std::bad_alloc&) {
        return false;
    }
    for (size_t b = 0; b < w * h; ++b) {
        const int16_t* block = plane.values + b * 64;
        float e = 0;
        for (int k = 1; k < 64; ++k) e += static_cast<float>(std::abs(block[k]) * plane.quant[k]);
        energy[b] = e;
    }
    for (size_t y = 0; y < h; ++y) {
        for (size_t x = 0; x < w; ++x) {
            float around = 0;
            for (size_t ny = y > 0 ? y - 1 : 0; ny <= y + 1 && ny < h; ++ny)
                for (size_t nx = x > 0 ? x - 1 : 0; nx <= x + 1 && nx < w; ++nx)
                    if (ny != y || nx != x) around += energy[ny * w + nx];
            (*out)[y * w + x] = energy[y * w + x] + 0.25f * around;
        }
    }
    return true;
}
