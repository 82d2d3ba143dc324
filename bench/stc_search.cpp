// SPDX-License-Identifier: GPL-3.0-or-later
// Picks the submatrices the coder uses: for every height and row width the
// table covers, the draw of the generator that carries random messages
// with the fewest changes (all costs alike) over layers of that width and
// of widths between it and the one below, out of the first `draws`.
// Prints the table hiding/stc.cpp keeps. Usage: stc_search [draws [rows
// [least most]]] (heights);
// stc_search --check [rows] measures the table on other messages.
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "hiding/stc.h"

namespace {

// Random cover bits and messages for layers of `rows` rows and about
// `width` columns a row.
struct Layer {
    std::vector<uint8_t> x, msg;
};

std::vector<Layer> Layers(size_t width, size_t rows, std::mt19937& random) {
    std::vector<Layer> layers;
    for (const size_t n : {rows * width, rows * width - rows / 2}) {
        Layer layer{std::vector<uint8_t>(n), std::vector<uint8_t>(rows)};
        for (auto& b : layer.x) b = random() & 1;
        for (auto& b : layer.msg) b = random() & 1;
        layers.push_back(std::move(layer));
    }
    return layers;
}

// Changes the draw makes over the layers, or -1 when one has no way.
long Changes(int height, uint32_t draw, const std::vector<Layer>& layers) {
    long changes = 0;
    for (const Layer& layer : layers) {
        const size_t n = layer.x.size();
        const std::vector<uint32_t> columns =
            stc::DrawnSubmatrix(height, n, layer.msg.size(), draw);
        std::vector<uint8_t> y(n);
        const std::vector<float> w(n, 1.0f);
        if (!stc::EmbedBitsWith(columns.data(), layer.x.data(), w.data(), n, layer.msg.data(),
                                layer.msg.size(), height, y.data()))
            return -1;
        for (size_t i = 0; i < n; ++i) changes += layer.x[i] != y[i];
    }
    return changes;
}

}  // namespace

// The chosen submatrices against draw 0 on other messages, by height.
int Check(size_t rows) {
    for (int height = 8; height <= 13; ++height) {
        long chosen = 0, first = 0;
        for (size_t width = 2; width <= 64; ++width) {
            std::mt19937 random(static_cast<uint32_t>(height * 1000 + width + 777));
            const std::vector<Layer> layers = Layers(width, rows, random);
            for (const Layer& layer : layers) {
                const size_t n = layer.x.size();
                std::vector<uint8_t> y(n);
                const std::vector<float> w(n, 1.0f);
                if (!stc::EmbedBits(layer.x.data(), w.data(), n, layer.msg.data(), layer.msg.size(),
                                    height, y.data()))
                    return 1;
                for (size_t i = 0; i < n; ++i) chosen += layer.x[i] != y[i];
            }
            first += Changes(height, 0, layers);
        }
        std::printf("height %d: the chosen make %.4f of draw 0's changes\n", height,
                    double(chosen) / double(first));
    }
    return 0;
}

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "--check")
        return Check(argc > 2 ? static_cast<size_t>(std::atoi(argv[2])) : 1500);
    const uint32_t draws = argc > 1 ? static_cast<uint32_t>(std::atoi(argv[1])) : 32;
    const size_t rows = argc > 2 ? static_cast<size_t>(std::atoi(argv[2])) : 1500;
    const int least = argc > 3 ? std::atoi(argv[3]) : 8, most = argc > 4 ? std::atoi(argv[4]) : 13;
    constexpr size_t kWidest = 64;
    std::printf("// stc_search %u %zu\n", draws, rows);
    for (int height = least; height <= most; ++height) {
        std::printf("    {");
        long gainSum = 0, defaultSum = 0;
        for (size_t width = 2; width <= kWidest; ++width) {
            std::mt19937 random(static_cast<uint32_t>(height * 1000 + width));
            const std::vector<Layer> layers = Layers(width, rows, random);
            uint32_t best = 0;
            long bestChanges = Changes(height, 0, layers);
            const long first = bestChanges;
            for (uint32_t draw = 1; draw < draws; ++draw) {
                const long changes = Changes(height, draw, layers);
                if (changes >= 0 && (bestChanges < 0 || changes < bestChanges)) {
                    best = draw;
                    bestChanges = changes;
                }
            }
            gainSum += bestChanges;
            defaultSum += first;
            std::printf("%u%s", best, width < kWidest ? ", " : "");
            std::fflush(stdout);
        }
        std::printf("},  // height %d: %.4f of draw 0's changes\n", height,
                    double(gainSum) / double(defaultSum));
    }
}
