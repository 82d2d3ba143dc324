// SPDX-License-Identifier: GPL-3.0-or-later
// The coder's expected distortion against the payload-limited sender's
// bound, for HILL costs of real photographs, by payload and height, with
// the time the coding takes. Usage: coding_loss [--heights=6,8,...]
// [--block=N] PICTURE... (PNG, BMP, TIFF; height 0 is the one chosen from the number of
// elements); scripts/bench_photos.sh makes a set. Given JPEG files instead, the
// same for the UERD costs of their non-zero AC coefficients, as a sealed
// JPEG codes them (payload in bits per such coefficient).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "hiding/costs.h"
#include "hiding/jpeg_carrier.h"
#include "hiding/polar.h"
#include "hiding/stc.h"
#include "working/working_image.h"

namespace {

// A picture's colour samples as the coder takes them, with HILL costs.
bool PictureSamples(const char* path, std::vector<uint8_t>* lows, std::vector<float>* costs) {
    CWorkingImage image;
    if (image.Load(path) != 0) return false;
    const size_t n = size_t{3} * image.width * image.height;
    const uint8_t* pixels = image.LockPixels();
    std::vector<uint8_t> samples(pixels, pixels + n);
    image.ReleasePixels();
    costs->resize(n);
    if (!HillCosts(samples.data(), image.width, image.height, 3, costs->data())) return false;
    lows->resize(n);
    for (size_t i = 0; i < n; ++i) {
        const uint8_t v = samples[i];
        (*lows)[i] = static_cast<uint8_t>((v & 3) | (v == 255 ? stc::kNoUp : 0) |
                                          (v == 0 ? stc::kNoDown : 0));
    }
    return true;
}

// A JPEG's non-zero AC coefficients, with UERD costs.
bool JpegElements(const char* path, std::vector<uint8_t>* lows, std::vector<float>* costs) {
    JpegCarrier jpeg;
    if (jpeg.Load(path) != 0) return false;
    costs->resize(jpeg.size());
    if (!jpeg.Costs(costs->data())) return false;
    lows->resize(jpeg.size());
    for (size_t i = 0; i < jpeg.size(); ++i) (*lows)[i] = JpegElementLow(jpeg.value(i));
    return true;
}

}  // namespace

// Stands for polar blocks in the list of heights.
constexpr int kPolar = -1;

int main(int argc, char** argv) {
    const double rates[] = {0.05, 0.1, 0.2, 0.4};
    std::vector<int> heights{6, 7, 8, 10};
    int first = 1;
    if (argc > 1 && std::strncmp(argv[1], "--heights=", 10) == 0) {
        heights.clear();
        for (const char* p = argv[1] + 10; *p;) {
            if (*p == 'p') {
                heights.push_back(kPolar);
                p += p[1] == ',' ? 2 : 1;
                continue;
            }
            char* end = nullptr;
            const long height = std::strtol(p, &end, 10);
            if (end == p) return 2;
            heights.push_back(static_cast<int>(height));
            p = *end == ',' ? end + 1 : end;
        }
        first = 2;
    }
    // Elements a code block holds (0: as the height gives).
    size_t block = 0;
    if (argc > first && std::strncmp(argv[first], "--block=", 8) == 0)
        block = std::strtoull(argv[first++] + 8, nullptr, 10);
    std::map<std::pair<double, int>, std::pair<double, double>> sums;  // cost, bound
    std::map<int, double> seconds;
    size_t pictures = 0, elements = 0;
    std::mt19937 random(1);
    for (int a = first; a < argc; ++a) {
        std::vector<uint8_t> lows;
        std::vector<float> costs;
        if (!(IsJpegName(argv[a]) ? JpegElements(argv[a], &lows, &costs)
                                  : PictureSamples(argv[a], &lows, &costs)))
            continue;
        const size_t n = lows.size();
        // The keyed order: a random one does as well here.
        std::vector<uint32_t> order(n);
        for (size_t i = 0; i < n; ++i) order[i] = static_cast<uint32_t>(i);
        std::shuffle(order.begin(), order.end(), random);
        std::vector<uint8_t> cover(n);
        std::vector<float> cost(n);
        for (size_t i = 0; i < n; ++i) {
            cover[i] = lows[order[i]];
            cost[i] = costs[order[i]];
        }
        ++pictures;
        elements += n;
        for (const double rate : rates) {
            const uint64_t bits = static_cast<uint64_t>(rate * double(n));
            std::vector<uint8_t> message((bits + 7) / 8);
            for (auto& b : message) b = static_cast<uint8_t>(random());
            std::vector<uint8_t> low = cover;
            const double bound = stc::BoundCost({low.data(), cost.data(), n}, bits);
            for (const int height : heights) {
                low = cover;
                uint16_t share = 0;
                const auto start = std::chrono::steady_clock::now();
                const bool polarBlocks = height == kPolar;
                if (!stc::Embed({low.data(), cost.data(), n}, message.data(), bits, &share,
                                polarBlocks ? stc::kHeight : height, 1, block,
                                polarBlocks ? polar::kMostLog : 0)) {
                    std::fprintf(stderr, "%s: no code at %g, height %d\n", argv[a], rate, height);
                    continue;
                }
                seconds[height] +=
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
                double spent = 0;
                for (size_t i = 0; i < n; ++i)
                    if (low[i] != cover[i]) spent += cost[i];
                sums[{rate, height}].first += spent;
                sums[{rate, height}].second += bound;
            }
        }
    }
    std::printf("%zu pictures, %zu elements; coder's distortion / bound (summed)\n", pictures,
                elements);
    std::printf("bits/element");
    for (const int height : heights)
        height == kPolar ? std::printf("   polar") : std::printf("   h=%-3d", height);
    std::printf("\n");
    for (const double rate : rates) {
        std::printf("%-12g", rate);
        for (const int height : heights) {
            const auto& s = sums[{rate, height}];
            std::printf("   %.3f", s.second > 0 ? s.first / s.second : 0);
        }
        std::printf("\n");
    }
    std::printf("ns per element and payload, one thread:");
    for (const int height : heights) {
        const double ns = elements ? 1e9 * seconds[height] / double(elements) / 4 : 0;
        height == kPolar ? std::printf("  polar %.0f", ns) : std::printf("  h=%d %.0f", height, ns);
    }
    std::printf("\n");
}
