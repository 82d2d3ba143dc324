// SPDX-License-Identifier: GPL-3.0-or-later
// A small steganalysis bench: features of covers and stegos, an ensemble
// classifier trained and tested on disjoint photographs, and embedding
// simulators to compare methods against.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace detect {

struct Picture {
    uint32_t width = 0, height = 0;
    std::vector<uint8_t> rgb;  // interleaved, top row first
};

// PNG, BMP, TIFF, PCX or JPEG by extension. False, with a message on
// stderr, when the file cannot be read.
bool ReadPicture(const std::string& path, Picture* picture);

// Second-order SPAM (T = 3) of each colour channel: 686 features per
// channel, averaged over the three or laid side by side (2058).
std::vector<float> SpamFeatures(const Picture& picture, bool concatenate);
// Co-occurrences of the three channels' residuals at each pixel (500).
std::vector<float> ColourFeatures(const Picture& picture);

// Features of a JPEG file's quantised DCT coefficients. False when the file
// cannot be read.
bool JpegFeatures(const std::string& path, std::vector<float>* features);

// A JPEG file's quantised coefficients, component by component, in
// block-row order, 64 per block in natural (row-major) order.
struct Coefficients {
    struct Component {
        uint32_t widthBlocks = 0, heightBlocks = 0;
        uint16_t quant[64] = {};
        std::vector<int16_t> blocks;
    };
    std::vector<Component> components;
};
bool ReadCoefficients(const std::string& path, Coefficients* coefficients);
// Writes `path` as a copy of `base` (same tables, sampling and markers)
// carrying `coefficients` instead of the base's own.
bool WriteCoefficients(const std::string& base, const Coefficients& coefficients,
                       const std::string& path);

// Ensemble of Fisher linear discriminants over random feature subspaces,
// each on a bootstrap sample of the training pairs.
struct EnsembleOptions {
    unsigned learners = 51;
    unsigned subspace = 0;  // 0: chosen from the out-of-bag error
    unsigned splits = 10;
    uint64_t seed = 1;
};
struct SplitResult {
    double minError;    // min over thresholds of (P_FA + P_MD) / 2 on the test set
    double voteError;   // the same at the majority vote's own threshold
    unsigned subspace;
};
// cover[i] and stego[i] come from one crop; group[i] names its source
// photograph, and no photograph is on both sides of a split.
std::vector<SplitResult> Evaluate(const std::vector<std::vector<float>>& cover,
                                  const std::vector<std::vector<float>>& stego,
                                  const std::vector<std::string>& group,
                                  const EnsembleOptions& options);

}  // namespace detect
