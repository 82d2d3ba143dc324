// SPDX-License-Identifier: GPL-3.0-or-later
#include "hiding/costs.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>
#include <new>

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

constexpr ptrdiff_t kWide = 7;             // the smoothing's reach
constexpr ptrdiff_t kPad = kWide + 1;      // mirrored values kept beside a row
constexpr size_t kKept = 32;               // smoothed rows kept: a power of two past 2 kPad
constexpr float kSmallScale = 1.0f / 9;    // a 3x3 mean
constexpr float kWideScale = 1.0f / 225;   // a 15x15 mean

// `row` (width values at row[kPad..]) mirrored into its pads.
void PadRow(float* row, size_t width) {
    for (ptrdiff_t x = -kPad; x < 0; ++x) row[kPad + x] = row[kPad + Mirror(x, width)];
    for (ptrdiff_t x = ptrdiff_t(width); x < ptrdiff_t(width) + kPad; ++x)
        row[kPad + x] = row[kPad + Mirror(x, width)];
}

// One channel's costs, a row at a time: every stage keeps only the few
// rows the next one reads, so nothing of the picture's size is made or
// cleared. The sums are made as a whole-plane pass would make them (the
// horizontal ones along each row from its start, the vertical ones down
// each column from the top, in double): the costs do not depend on how
// the work is cut.
class ChannelPipe {
  public:
    ChannelPipe(const uint8_t* samples, size_t w, size_t h, unsigned channels, unsigned c)
        : samples_(samples), w_(w), h_(h), channels_(channels), c_(c), stride_(w + 2 * kPad) {}

    bool Run(float* cost) {
        // Rows of residuals (4), of their 3-wide sums (4), of the smoothed
        // inverses (kKept), and one to work in, each padded.
        buffer_.reset(new (std::nothrow) float[(8 + kKept + 1) * stride_]);
        sums_.reset(new (std::nothrow) double[w_]);
        if (!buffer_ || !sums_) return false;
        residual_ = buffer_.get();
        narrow_ = residual_ + 4 * stride_;
        wide_ = narrow_ + 4 * stride_;
        work_ = wide_ + kKept * stride_;

        std::fill(sums_.get(), sums_.get() + w_, 0.0);
        for (ptrdiff_t i = -kWide; i <= kWide; ++i) {
            const float* row = WideRow(Mirror(i, h_));
            for (size_t x = 0; x < w_; ++x) sums_[x] += row[x];
        }
        for (size_t y = 0; y < h_; ++y) {
            float* out = cost + y * w_ * channels_ + c_;
            for (size_t x = 0; x < w_; ++x)
                out[x * channels_] = std::max(static_cast<float>(sums_[x]) * kWideScale, 1e-6f);
            if (y + 1 == h_) break;
            const float* add = WideRow(Mirror(ptrdiff_t(y) + kWide + 1, h_));
            const float* drop = WideRow(Mirror(ptrdiff_t(y) - kWide, h_));
            for (size_t x = 0; x < w_; ++x) sums_[x] += double(add[x]) - double(drop[x]);
        }
        return true;
    }

  private:
    float* Row(float* ring, size_t kept, size_t y) const { return ring + (y % kept) * stride_; }

    // Rows y - 1, y and y + 1 of a ring of 4, mirrored at the ends.
    struct Around {
        const float *up, *mid, *down;
    };
    Around RowsAround(float* ring, size_t y) const {
        return {Row(ring, 4, Mirror(ptrdiff_t(y) - 1, h_)) + kPad, Row(ring, 4, y) + kPad,
                Row(ring, 4, Mirror(ptrdiff_t(y) + 1, h_)) + kPad};
    }

    // The high-pass residual of row y across ([-1 2 -1], the KB kernel's
    // first half), rows made in order.
    const float* ResidualRow(size_t y) {
        for (; residualMade_ <= y; ++residualMade_) {
            const uint8_t* in = samples_ + residualMade_ * w_ * channels_ + c_;
            float* value = work_ + kPad;
            for (size_t x = 0; x < w_; ++x) value[x] = float(in[x * channels_]);
            PadRow(work_, w_);
            float* row = Row(residual_, 4, residualMade_) + kPad;
            for (size_t x = 0; x < w_; ++x)
                row[x] = 2 * value[x] - value[ptrdiff_t(x) - 1] - value[x + 1];
        }
        return Row(residual_, 4, y) + kPad;
    }

    // The residual's magnitude down ([-1 2 -1] again), summed over 3
    // across. All of it in whole numbers, exact in any order.
    const float* NarrowRow(size_t y) {
        for (; narrowMade_ <= y; ++narrowMade_) {
            const size_t at = narrowMade_;
            ResidualRow(std::min(at + 1, h_ - 1));
            const auto [up, mid, down] = RowsAround(residual_, at);
            float* magnitude = work_ + kPad;
            for (size_t x = 0; x < w_; ++x)
                magnitude[x] = std::fabs(2 * mid[x] - up[x] - down[x]);
            PadRow(work_, w_);
            float* row = Row(narrow_, 4, at) + kPad;
            for (size_t x = 0; x < w_; ++x)
                row[x] = magnitude[ptrdiff_t(x) - 1] + magnitude[x] + magnitude[x + 1];
        }
        return Row(narrow_, 4, y) + kPad;
    }

    // The 3x3 mean, inverted (a quiet neighbourhood costs much), summed
    // over 15 across as a running sum.
    const float* WideRow(size_t y) {
        for (; wideMade_ <= y; ++wideMade_) {
            const size_t at = wideMade_;
            NarrowRow(std::min(at + 1, h_ - 1));
            const auto [up, mid, down] = RowsAround(narrow_, at);
            float* inverse = work_ + kPad;
            for (size_t x = 0; x < w_; ++x)
                inverse[x] = 1.0f / ((up[x] + mid[x] + down[x]) * kSmallScale + 1e-4f);
            PadRow(work_, w_);
            float* row = Row(wide_, kKept, at) + kPad;
            double sum = 0;
            for (ptrdiff_t i = -kWide; i <= kWide; ++i) sum += inverse[i];
            for (size_t x = 0; x < w_; ++x) {
                row[x] = static_cast<float>(sum);
                sum += inverse[x + kWide + 1] - inverse[ptrdiff_t(x) - kWide];
            }
        }
        return Row(wide_, kKept, y) + kPad;
    }

    const uint8_t* samples_;
    size_t w_, h_;
    unsigned channels_, c_;
    size_t stride_;
    std::unique_ptr<float[]> buffer_;
    std::unique_ptr<double[]> sums_;
    float *residual_ = nullptr, *narrow_ = nullptr, *wide_ = nullptr, *work_ = nullptr;
    size_t residualMade_ = 0, narrowMade_ = 0, wideMade_ = 0;
};

}  // namespace

bool HillCosts(const uint8_t* samples, uint32_t width, uint32_t height, unsigned channels,
               float* cost) {
    if (uint64_t{width} * height == 0) return true;
    // The channels are costed alone, so each on a thread of its own.
    std::atomic<bool> whole{true};
    RunShared(channels, channels, [&](uint64_t c) {
        ChannelPipe pipe(samples, width, height, channels, static_cast<unsigned>(c));
        if (!pipe.Run(cost)) whole = false;
    });
    return whole;
}
