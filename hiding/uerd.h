// SPDX-License-Identifier: GPL-3.0-or-later
// What changing a quantized DCT coefficient by one costs, after UERD
// (uniform embedding distortion): a step spread evenly over all
// frequencies, so the cost of a change is its size in the picture, q_k,
// over how busy the block and its eight neighbours are:
//
//     cost(b, k) = q_k / (E_b + 1/4 * sum of E_n over b's neighbours n)
//     E_b = sum over b's AC coefficients c_k of |c_k| * q_k
//
// A smooth area (small E) makes every change there dear; a textured one
// hides them. Also what a simulator of the optimal coder draws changes
// from, so the measurements call it.
#pragma once

#include <cstdint>
#include <vector>

// One component's coefficients: blocks of 64 in natural order,
// widthInBlocks to a row.
struct CoefficientPlane {
    const int16_t* values;
    uint32_t widthInBlocks, heightInBlocks;
    const uint16_t* quant;  // 64 steps, natural order
};

// The denominator of every block of the plane, one per block, row by row.
// False when memory runs out.
bool UerdDenominators(const CoefficientPlane& plane, std::vector<float>* out);

// The cost of changing coefficient k (1..63) of a block whose denominator
// is `denominator`; a block with no AC energy at all (never changed: only
// non-zero AC coefficients are) gets a large finite cost.
inline float UerdCost(const uint16_t* quant, int k, float denominator) {
    constexpr float kNoDetail = 1e-3f;
    // A step of 0 (a broken table) still costs something: the coder takes
    // costs above zero only.
    const float step = quant[k] > 0 ? static_cast<float>(quant[k]) : 1.0f;
    return step / (denominator > kNoDetail ? denominator : kNoDetail);
}
