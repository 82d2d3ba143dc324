// SPDX-License-Identifier: GPL-3.0-or-later
// Histograms and co-occurrences of quantised DCT coefficients, for the
// luminance and, pooled, the two chroma components: ±1 changes flatten the
// per-mode histograms and loosen the dependencies between neighbouring
// coefficients, inside a block and across blocks.
#include <algorithm>
#include <array>

#include "detect.h"

namespace detect {
namespace {

// Natural-order positions of the AC modes, lowest frequencies first.
constexpr std::array<int, 20> kLowModes = {1,  8,  16, 9,  2,  3,  10, 17, 24, 32,
                                           25, 18, 11, 4,  5,  12, 19, 26, 33, 40};
constexpr int kModeT = 5;   // per-mode histograms over [-5, 5]
constexpr int kGlobalT = 8;  // all-AC histogram over [-8, 8]
constexpr int kPairT = 2;    // co-occurrences over [-2, 2]^2
constexpr int kPairBins = (2 * kPairT + 1) * (2 * kPairT + 1);
constexpr size_t kPerClass =
    kLowModes.size() * (2 * kModeT + 1) + (2 * kGlobalT + 1) + 4 * kPairBins;

int Clip(int v, int t) { return std::clamp(v, -t, t); }

struct Counts {
    std::array<double, kPerClass> bins{};
    double blocks = 0, acs = 0, pairs = 0;
};

void AddComponent(const Coefficients::Component& c, Counts* counts) {
    const auto at = [&](uint32_t bx, uint32_t by, int k) {
        return int(c.blocks[(size_t(by) * c.widthBlocks + bx) * 64 + size_t(k)]);
    };
    double* modes = counts->bins.data();
    double* global = modes + kLowModes.size() * (2 * kModeT + 1);
    double* pairs = global + (2 * kGlobalT + 1);
    const auto pair = [&](int which, int a, int b) {
        pairs[which * kPairBins + (Clip(a, kPairT) + kPairT) * (2 * kPairT + 1) + Clip(b, kPairT) +
              kPairT] += 1;
    };
    for (uint32_t by = 0; by < c.heightBlocks; ++by)
        for (uint32_t bx = 0; bx < c.widthBlocks; ++bx) {
            counts->blocks += 1;
            for (size_t m = 0; m < kLowModes.size(); ++m)
                modes[m * (2 * kModeT + 1) + size_t(Clip(at(bx, by, kLowModes[m]), kModeT) + kModeT)] +=
                    1;
            for (int k = 1; k < 64; ++k) {
                const int v = at(bx, by, k);
                global[Clip(v, kGlobalT) + kGlobalT] += 1;
                counts->acs += 1;
                const int row = k / 8, col = k % 8;
                // Within the block: right and lower neighbours (AC only).
                if (col < 7) pair(0, v, at(bx, by, k + 1));
                if (row < 7) pair(1, v, at(bx, by, k + 8));
                // Across blocks: the same mode in the next block right and below.
                if (bx + 1 < c.widthBlocks) pair(2, v, at(bx + 1, by, k));
                if (by + 1 < c.heightBlocks) pair(3, v, at(bx, by + 1, k));
                counts->pairs += 1;
            }
        }
}

void Normalise(const Counts& counts, float* out) {
    const size_t modeBins = kLowModes.size() * (2 * kModeT + 1);
    for (size_t i = 0; i < kPerClass; ++i) {
        const double total = i < modeBins                        ? counts.blocks
                             : i < modeBins + 2 * kGlobalT + 1 ? counts.acs
                                                                 : counts.pairs;
        out[i] = total > 0 ? float(counts.bins[i] / total) : 0.0f;
    }
}

}  // namespace

bool JpegFeatures(const std::string& path, std::vector<float>* features) {
    Coefficients coefficients;
    if (!ReadCoefficients(path, &coefficients) || coefficients.components.empty()) return false;
    Counts luma, chroma;
    AddComponent(coefficients.components[0], &luma);
    for (size_t c = 1; c < coefficients.components.size(); ++c)
        AddComponent(coefficients.components[c], &chroma);
    features->assign(2 * kPerClass, 0.0f);
    Normalise(luma, features->data());
    Normalise(chroma, features->data() + kPerClass);
    return true;
}

}  // namespace detect
