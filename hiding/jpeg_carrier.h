// SPDX-License-Identifier: GPL-3.0-or-later
// A JPEG's quantized coefficients as a sealed file's carrier: held flat,
// changed by +-1 and written back without compressing the picture again.
//
// The elements that carry are the non-zero AC coefficients within the
// 11 bits a Huffman code holds (|c| <= 1023), component by component, block
// row by block row, in natural order within each block. A change never
// makes one of them 0 nor takes it past 1023, so the receiver finds the
// same elements in the same order; zeros and DC coefficients are never
// touched, so nothing changes where the picture has no detail.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "imagelib/jpeg_coefficients.h"

constexpr int kDefaultJpegQuality = 90;
constexpr int16_t kMaxAcCoefficient = 1023;

class JpegCarrier {
  public:
    // Reads the coefficients of the JPEG at `path`. A library code.
    int Load(const std::string& path);
    // Compresses width x height RGB pixels once at `quality`. A library code.
    int Compress(const uint8_t* pixels, uint32_t width, uint32_t height, int quality);
    // Writes the changed coefficients as a JPEG at `path`. A library code.
    int Write(const std::string& path);

    size_t size() const { return at_.size(); }
    int16_t value(size_t element) const { return elements_[element]; }
    void set(size_t element, int16_t value) { elements_[element] = value; }
    const int16_t* address(size_t element) const { return &elements_[element]; }

    // The UERD cost of changing each element, in element order, from the
    // coefficients as they were loaded. False when memory runs out.
    bool Costs(float* costs) const;

    uint32_t width() const;
    uint32_t height() const;

  private:
    int Take(PixJpegCoefficients* jpeg);
    int Flatten();

    PixJpegCoefficientsPtr jpeg_;
    std::vector<PixJpegComponent> components_;
    std::vector<size_t> start_;  // of each component in values_
    std::vector<int16_t> values_;
    std::vector<uint32_t> at_;  // each element's index in values_
    // The elements' values side by side: a keyed walk then touches one
    // place in memory per element, not two.
    std::vector<int16_t> elements_;
};

// An element's two low bits (two's complement) and the ways it may not go,
// as the coder takes them (hiding/stc.h).
constexpr uint8_t kJpegNoUp = 4, kJpegNoDown = 8;
inline uint8_t JpegElementLow(int16_t c) {
    return static_cast<uint8_t>((c & 3) | (c == -1 || c == kMaxAcCoefficient ? kJpegNoUp : 0) |
                                (c == 1 || c == -kMaxAcCoefficient ? kJpegNoDown : 0));
}
