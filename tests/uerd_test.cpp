// SPDX-License-Identifier: GPL-3.0-or-later
#include "hiding/uerd.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

TEST(Uerd, BlockAndNeighbourEnergyOverTheStep) {
    // Three blocks by two. Energy 12 in the top left block, 4 beside it;
    // the DC coefficient counts for nothing.
    uint16_t quant[64];
    std::fill(quant, quant + 64, 2);
    quant[1] = 4;
    std::vector<int16_t> values(6 * 64, 0);
    values[0 * 64 + 1] = 3;
    values[1 * 64 + 5] = -2;
    values[5 * 64 + 0] = 900;
    const CoefficientPlane plane{values.data(), 3, 2, quant};
    std::vector<float> d;
    ASSERT_TRUE(UerdDenominators(plane, &d));
    // 12 + 4/4; 4 + 12/4; 4/4 for the blocks beside (1,0) only; (0,1)
    // touches both.
    const std::vector<float> expected = {13, 7, 1, 4, 4, 1};
    EXPECT_EQ(d, expected);
    EXPECT_FLOAT_EQ(UerdCost(quant, 1, d[0]), 4.0f / 13);
    EXPECT_FLOAT_EQ(UerdCost(quant, 5, d[0]), 2.0f / 13);
    // A block with nothing around it is dear to change, but not forbidden.
    const float flat = UerdCost(quant, 5, 0.0f);
    EXPECT_GT(flat, 1000.0f);
    EXPECT_TRUE(std::isfinite(flat));
}

}  // namespace
