// SPDX-License-Identifier: GPL-3.0-or-later
// The costs, made a row at a time, against the plain whole-plane passes
// they stand for: the same bits, at every size the mirrored edges treat
// differently, since a carrier's costs choose where its changes go.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "hiding/costs.h"

namespace {

size_t Mirror(ptrdiff_t i, size_t n) {
    if (n == 1) return 0;
    if (i < 0) i = -i;
    const ptrdiff_t last = static_cast<ptrdiff_t>(n) - 1;
    if (i > last) i = 2 * last - i;
    return static_cast<size_t>(std::clamp<ptrdiff_t>(i, 0, last));
}

// A (2r+1)-wide mean along rows, then columns: running sums in double.
void BoxMean(std::vector<float>& plane, size_t w, size_t h, int r) {
    std::vector<float> across(plane.size());
    const float scale = 1.0f / float((2 * r + 1) * (2 * r + 1));
    for (size_t y = 0; y < h; ++y) {
        const float* in = plane.data() + y * w;
        double sum = 0;
        for (ptrdiff_t i = -r; i <= r; ++i) sum += in[Mirror(i, w)];
        for (size_t x = 0; x < w; ++x) {
            across[y * w + x] = static_cast<float>(sum);
            sum += in[Mirror(ptrdiff_t(x) + r + 1, w)] - in[Mirror(ptrdiff_t(x) - r, w)];
        }
    }
    for (size_t x = 0; x < w; ++x) {
        double sum = 0;
        for (ptrdiff_t i = -r; i <= r; ++i) sum += across[Mirror(i, h) * w + x];
        for (size_t y = 0; y < h; ++y) {
            plane[y * w + x] = static_cast<float>(sum) * scale;
            sum += double(across[Mirror(ptrdiff_t(y) + r + 1, h) * w + x]) -
                   double(across[Mirror(ptrdiff_t(y) - r, h) * w + x]);
        }
    }
}

std::vector<float> PlainCosts(const std::vector<uint8_t>& samples, size_t w, size_t h,
                              unsigned channels) {
    std::vector<float> cost(samples.size());
    for (unsigned c = 0; c < channels; ++c) {
        auto at = [&](size_t x, size_t y) { return float(samples[(y * w + x) * channels + c]); };
        std::vector<float> across(w * h), plane(w * h);
        for (size_t y = 0; y < h; ++y)
            for (size_t x = 0; x < w; ++x)
                across[y * w + x] = 2 * at(x, y) - at(Mirror(ptrdiff_t(x) - 1, w), y) -
                                    at(Mirror(ptrdiff_t(x) + 1, w), y);
        for (size_t y = 0; y < h; ++y)
            for (size_t x = 0; x < w; ++x)
                plane[y * w + x] = std::fabs(2 * across[y * w + x] -
                                             across[Mirror(ptrdiff_t(y) - 1, h) * w + x] -
                                             across[Mirror(ptrdiff_t(y) + 1, h) * w + x]);
        BoxMean(plane, w, h, 1);
        for (float& v : plane) v = 1.0f / (v + 1e-4f);
        BoxMean(plane, w, h, 7);
        for (size_t i = 0; i < w * h; ++i) cost[i * channels + c] = std::max(plane[i], 1e-6f);
    }
    return cost;
}

TEST(HillCosts, BitForBitThePlainPasses) {
    struct Case {
        uint32_t w, h;
        unsigned channels;
    };
    // Lines, pictures narrower or shorter than the 15-wide smoothing, and
    // ones taller than the rows kept.
    const Case cases[] = {{1, 1, 3}, {1, 9, 1}, {9, 1, 3}, {2, 2, 1},  {3, 16, 3},
                          {17, 5, 1}, {40, 33, 3}, {33, 70, 1}, {300, 41, 3}};
    std::mt19937 random(7);
    for (const Case& c : cases) {
        std::vector<uint8_t> samples(size_t{c.w} * c.h * c.channels);
        // Grain over smooth shading and flat patches, so that costs span
        // orders of magnitude as in photographs.
        for (size_t i = 0; i < samples.size(); ++i) {
            const size_t pixel = i / c.channels;
            const bool flat = (pixel / c.w / 4 + pixel % c.w / 4) % 3 == 0;
            samples[i] = static_cast<uint8_t>(flat ? 200 : (pixel % 251) + random() % 5);
        }
        std::vector<float> fast(samples.size(), -1);
        ASSERT_TRUE(HillCosts(samples.data(), c.w, c.h, c.channels, fast.data()));
        const std::vector<float> plain = PlainCosts(samples, c.w, c.h, c.channels);
        ASSERT_EQ(0, std::memcmp(fast.data(), plain.data(), fast.size() * sizeof(float)))
            << c.w << "x" << c.h << "x" << c.channels;
    }
}

}  // namespace
