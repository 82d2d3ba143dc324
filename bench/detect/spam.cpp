// SPDX-License-Identifier: GPL-3.0-or-later
#include <algorithm>
#include <array>

#include "detect.h"

namespace detect {
namespace {

constexpr int kT = 3;
constexpr int kBins = 2 * kT + 1;
constexpr int kFeatures = kBins * kBins * kBins;  // 343 per direction group

// P(d3 | d1, d2) for the differences along one direction, clipped to
// [-T, T], added into `out` with weight 1/4 (four directions a group).
void AddTransitions(const uint8_t* s, uint32_t width, uint32_t height, int dx, int dy,
                    float* out) {
    std::array<uint32_t, kFeatures> triples{};
    const auto clip = [](int d) { return d < -kT ? -kT : d > kT ? kT : d; };
    const int64_t w = width, h = height;
    for (int64_t y = 0; y < h; ++y) {
        const int64_t yEnd = y + 3 * dy;
        if (yEnd < 0 || yEnd >= h) continue;
        for (int64_t x = 0; x < w; ++x) {
            const int64_t xEnd = x + 3 * dx;
            if (xEnd < 0 || xEnd >= w) continue;
            int v[4];
            for (int k = 0; k < 4; ++k) v[k] = s[((y + k * dy) * w + (x + k * dx)) * 3];
            const int a = clip(v[0] - v[1]) + kT, b = clip(v[1] - v[2]) + kT,
                      c = clip(v[2] - v[3]) + kT;
            ++triples[(a * kBins + b) * kBins + c];
        }
    }
    for (int ab = 0; ab < kBins * kBins; ++ab) {
        uint64_t pairs = 0;
        for (int c = 0; c < kBins; ++c) pairs += triples[ab * kBins + c];
        if (pairs == 0) continue;
        for (int c = 0; c < kBins; ++c)
            out[ab * kBins + c] += 0.25f * float(triples[ab * kBins + c]) / float(pairs);
    }
}

}  // namespace

std::vector<float> ColourFeatures(const Picture& picture) {
    // Joint (R, G, B) values of four residuals at one pixel: first and
    // second differences, across and down, clipped to [-2, 2]. A photograph's
    // channels move together; independent ±1 changes pull them apart.
    constexpr int kColourT = 2, kColourBins = 2 * kColourT + 1;
    constexpr int kCube = kColourBins * kColourBins * kColourBins;
    std::vector<float> features(4 * kCube, 0.0f);
    const int64_t w = picture.width, h = picture.height;
    const uint8_t* s = picture.rgb.data();
    const auto at = [&](int64_t x, int64_t y, int c) { return int(s[(y * w + x) * 3 + c]); };
    double counts[4] = {};
    for (int64_t y = 1; y + 1 < h; ++y)
        for (int64_t x = 1; x + 1 < w; ++x) {
            int r[4][3];
            for (int c = 0; c < 3; ++c) {
                const int v = at(x, y, c);
                r[0][c] = at(x + 1, y, c) - v;
                r[1][c] = at(x, y + 1, c) - v;
                r[2][c] = at(x - 1, y, c) + at(x + 1, y, c) - 2 * v;
                r[3][c] = at(x, y - 1, c) + at(x, y + 1, c) - 2 * v;
            }
            for (int k = 0; k < 4; ++k) {
                int bin = 0;
                for (int c = 0; c < 3; ++c)
                    bin = bin * kColourBins + std::clamp(r[k][c], -kColourT, kColourT) + kColourT;
                features[size_t(k * kCube + bin)] += 1;
                counts[k] += 1;
            }
        }
    for (int k = 0; k < 4; ++k)
        for (int i = 0; i < kCube; ++i)
            if (counts[k] > 0) features[size_t(k * kCube + i)] /= float(counts[k]);
    return features;
}

std::vector<float> SpamFeatures(const Picture& picture, bool concatenate) {
    static constexpr int kStraight[4][2] = {{1, 0}, {-1, 0}, {0, 1}, {0, -1}};
    static constexpr int kDiagonal[4][2] = {{1, 1}, {-1, -1}, {1, -1}, {-1, 1}};
    std::vector<float> features(concatenate ? 3 * 2 * kFeatures : 2 * kFeatures, 0.0f);
    for (int c = 0; c < 3; ++c) {
        float* out = features.data() + (concatenate ? c * 2 * kFeatures : 0);
        const uint8_t* s = picture.rgb.data() + c;
        for (const auto& d : kStraight)
            AddTransitions(s, picture.width, picture.height, d[0], d[1], out);
        for (const auto& d : kDiagonal)
            AddTransitions(s, picture.width, picture.height, d[0], d[1], out + kFeatures);
    }
    if (!concatenate)
        for (float& f : features) f /= 3.0f;
    return features;
}

}  // namespace detect
