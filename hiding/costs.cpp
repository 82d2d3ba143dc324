// SPDX-License-Identifier: GPL-3.0-or-later
#include "hiding/costs.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <new>
#include <vector>

#include "imagelib/run_shared.h"

namespace {

// Index i of a line of n mirrored at its ends (... 2 1 0 1 2 ...), for
// any i within n - 1 of the line.
inline size_t Mirror(ptrdiff_t i, size_t n) {
    if (n == 1) return 0;
    if (i < 0) i = -i;
    const ptrdiff_t last = static_cast<ptrdiff_t>(n) - 1;
    if (i > last) i = 2 * last - i;
    return static_cast<size_t>(std::clamp<ptrdiff_t>(i, 0, last));
}

// Mean over a (2r+1)-wide window along rows, then along columns, with
// mirrored edges: running sums keep it linear in r.
void BoxMean(std::vector<float>& plane, std::vector<float>& scratch, size_t width, size_t height,
             int r) {
    const float scale = 1.0f / float((2 * r + 1) * (2 * r + 1));
    for (size_t y = 0; y < height; ++y) {
        const float* in = plane.data() + y * width;
        float* out = scratch.data() + y * width;
        double sum = 0;
        for (ptrdiff_t i = -r; i <= r; ++i) sum += in[Mirror(i, width)];
        for (size_t x = 0; x < width; ++x) {
            out[x] = static_cast<float>(sum);
            sum += in[Mirror(ptrdiff_t(x) + r + 1, width)] - in[Mirror(ptrdiff_t(x) - r, width)];
        }
    }
    std::vector<double> sums(width, 0);
    for (ptrdiff_t i = -r; i <= r; ++i) {
        const float* row = scratch.data() + Mirror(i, height) * width;
        for (size_t x = 0; x < width; ++x) sums[x] += row[x];
    }
    for (size_t y = 0; y < height; ++y) {
        float* out = plane.data() + y * width;
        const float* add = scratch.data() + Mirror(ptrdiff_t(y) + r + 1, height) * width;
        const float* drop = scratch.data() + Mirror(ptrdiff_t(y) - r, height) * width;
        for (size_t x = 0; x < width; ++x) {
            out[x] = static_cast<float>(sums[x]) * scale;
            sums[x] += double(add[x]) - double(drop[x]);
        }
    }
}

}  // namespace

namespace {

bool ChannelCosts(const uint8_t* samples, size_t w, size_t h, unsigned channels, unsigned c,
                  float* cost) {
    const size_t n = w * h;
    std::vector<float> plane, scratch;
    try {
        plane.resize(n);
        scratch.resize(n);
    } catch (const std::bad_alloc&) {
        return false;
    }
    {
        auto at = [&](size_t x, size_t y) { return float(samples[(y * w + x) * channels + c]); };
        // The high-pass residual: [-1 2 -1] across, then down (the KB kernel).
        for (size_t y = 0; y < h; ++y)
            for (size_t x = 0; x < w; ++x) {
                const size_t l = Mirror(ptrdiff_t(x) - 1, w), r = Mirror(ptrdiff_t(x) + 1, w);
                scratch[y * w + x] = 2 * at(x, y) - at(l, y) - at(r, y);
            }
        for (size_t y = 0; y < h; ++y) {
            const float* up = scratch.data() + Mirror(ptrdiff_t(y) - 1, h) * w;
            const float* mid = scratch.data() + y * w;
            const float* down = scratch.data() + Mirror(ptrdiff_t(y) + 1, h) * w;
            for (size_t x = 0; x < w; ++x) plane[y * w + x] = std::fabs(2 * mid[x] - up[x] - down[x]);
        }
        // Its local mean magnitude, inverted: a quiet neighbourhood costs much.
        BoxMean(plane, scratch, w, h, 1);
        for (float& v : plane) v = 1.0f / (v + 1e-4f);
        BoxMean(plane, scratch, w, h, 7);
        for (size_t i = 0; i < n; ++i) cost[i * channels + c] = std::max(plane[i], 1e-6f);
    }
    return true;
}

}  // namespace

bool HillCosts(const uint8_t* samples, uint32_t width, uint32_t height, unsigned channels,
               float* cost) {
    if (uint64_t{width} * height == 0) return true;
    // The channels are costed alone, so each on a thread of its own.
    std::atomic<bool> whole{true};
    RunShared(channels, channels, [&](uint64_t c) {
        if (!ChannelCosts(samples, width, height, channels, static_cast<unsigned>(c), cost))
            whole = false;
    });
    return whole;
}
