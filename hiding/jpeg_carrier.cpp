// SPDX-License-Identifier: GPL-3.0-or-later
#include "hiding/jpeg_carrier.h"

#include <algorithm>
#include <cstdlib>
#include <new>

#include "hiding/uerd.h"
#include "imagelib/state.h"

namespace {

// An AC coefficient that carries: not 0, within what a Huffman code holds.
bool Carries(int16_t value) {
    return value != 0 && value >= -kMaxAcCoefficient && value <= kMaxAcCoefficient;
}

}  // namespace

int JpegCarrier::Load(const std::string& path) {
    return Take(PixReadJPGCoefficients(path.c_str()));
}

int JpegCarrier::Compress(const uint8_t* pixels, uint32_t width, uint32_t height, int quality) {
    return Take(PixCompressJPGCoefficients(pixels, width, height, quality));
}

int JpegCarrier::Take(PixJpegCoefficients* jpeg) {
    // A failed load leaves an empty carrier, never a mix of two files.
    const int error = jpeg == nullptr ? PixGetLastError() : 0;
    *this = JpegCarrier();
    if (jpeg == nullptr) return error;
    jpeg_.reset(jpeg);
    const int code = Flatten();
    if (code != 0) *this = JpegCarrier();
    return code;
}

int JpegCarrier::Flatten() {
    const int count = PixGetJPGComponentCount(jpeg_.get());
    try {
        components_.assign(count, {});
        start_.assign(count, 0);
        size_t total = 0;
        for (int c = 0; c < count; ++c) {
            PixGetJPGComponent(jpeg_.get(), c, &components_[c]);
            start_[c] = total;
            total += size_t{components_[c].widthInBlocks} * components_[c].heightInBlocks * 64;
        }
        // Elements are kept as 32-bit indices.
        if (total > UINT32_MAX) return kPixErrMemory;
        values_.resize(total);
        for (int c = 0; c < count; ++c) {
            const size_t row = size_t{components_[c].widthInBlocks} * 64;
            for (uint32_t r = 0; r < components_[c].heightInBlocks; ++r) {
                const int16_t* from = PixGetJPGBlockRow(jpeg_.get(), c, r);
                std::copy(from, from + row, values_.data() + start_[c] + r * row);
            }
        }
        size_t elements = 0;
        for (size_t block = 0; block < total; block += 64)
            for (size_t k = 1; k < 64; ++k) elements += Carries(values_[block + k]);
        at_.clear();
        at_.reserve(elements);
        elements_.clear();
        elements_.reserve(elements);
        for (size_t block = 0; block < total; block += 64) {
            for (size_t k = 1; k < 64; ++k) {
                const int16_t value = values_[block + k];
                if (!Carries(value)) continue;
                at_.push_back(static_cast<uint32_t>(block + k));
                elements_.push_back(value);
            }
        }
    } catch (const std::bad_alloc&) {
        return kPixErrMemory;
    }
    return 0;
}

int JpegCarrier::Write(const std::string& path) {
    for (size_t e = 0; e < at_.size(); ++e) values_[at_[e]] = elements_[e];
    for (int c = 0; c < static_cast<int>(components_.size()); ++c) {
        const size_t row = size_t{components_[c].widthInBlocks} * 64;
        for (uint32_t r = 0; r < components_[c].heightInBlocks; ++r) {
            const int16_t* from = values_.data() + start_[c] + r * row;
            std::copy(from, from + row, PixGetJPGBlockRow(jpeg_.get(), c, r));
        }
    }
    PixWriteJPGCoefficients(jpeg_.get(), path.c_str());
    return PixGetLastError();
}

bool JpegCarrier::Costs(float* costs) const {
    size_t e = 0;
    std::vector<float> denominators;
    for (size_t c = 0; c < components_.size(); ++c) {
        const PixJpegComponent& info = components_[c];
        const CoefficientPlane plane{values_.data() + start_[c], info.widthInBlocks,
                                     info.heightInBlocks, info.quant};
        if (!UerdDenominators(plane, &denominators)) return false;
        const size_t end = start_[c] + denominators.size() * 64;
        for (; e < at_.size() && at_[e] < end; ++e) {
            const size_t i = at_[e] - start_[c];
            costs[e] = UerdCost(info.quant, static_cast<int>(i % 64), denominators[i / 64]);
        }
    }
    return true;
}

uint32_t JpegCarrier::width() const { return PixGetJPGWidth(jpeg_.get()); }
uint32_t JpegCarrier::height() const { return PixGetJPGHeight(jpeg_.get()); }
