// SPDX-License-Identifier: GPL-3.0-or-later
#include "hiding/stc.h"

#include <immintrin.h>

#include <algorithm>
#include <array>
#include <bit>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <numbers>
#include <thread>
#include <vector>

#include "hiding/polar.h"
#include "imagelib/run_shared.h"

namespace stc {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
// Bits of path a code block may keep: the trellis keeps 2^height of them
// for each element, so this bounds a thread's memory (32 MiB).
constexpr size_t kBlockPathBits = size_t{1} << 28;
// Blocks are no shorter, so that their ends cost little.
constexpr size_t kLeastBlock = size_t{1} << 14;
// Elements the split and lambda are estimated from; the keyed order makes
// any stretch of them a fair sample.
constexpr size_t kSampleElements = size_t{1} << 16;

uint64_t MulDiv(uint64_t a, uint64_t b, uint64_t c) {
    if (a <= UINT32_MAX && b <= UINT32_MAX) return a * b / c;  // the common case, a cheap division
    return static_cast<uint64_t>(static_cast<unsigned __int128>(a) * b / c);
}

// Message bit j of a layer of `bits` over `count` columns owns the columns
// [Start(j), Start(j + 1)). The first row also takes `lead` more: only its
// own columns reach it, and the next rows' few, so a short row there, all
// of it forbidden to change, would leave no way through at high rates.
struct Layout {
    static constexpr uint64_t kFirstRow = 24;  // columns the first row has at least
    uint64_t count, bits, lead;
    Layout(uint64_t count_, uint64_t bits_) : count(count_), bits(bits_) {
        const uint64_t row = count / bits;
        lead = row >= kFirstRow || bits >= count ? 0 : std::min(kFirstRow - row, count - bits);
    }
    uint64_t Start(uint64_t j) const { return j == 0 ? 0 : lead + MulDiv(j, count - lead, bits); }
    // Columns of a row past the first.
    size_t RowWidth() const { return static_cast<size_t>((count - lead + bits - 1) / bits); }
    size_t Width() const { return std::max<size_t>(static_cast<size_t>(Start(1)), RowWidth()); }
};

// The repeated submatrix: `columns` columns of `height` bits, each with its
// top and bottom bit set so that every column touches the row it ends and
// the next ones, from a generator seeded with the height, the row width
// and `draw` (the first row's extra columns follow the others). The same
// for sender and receiver: no key is needed, since the elements' order is
// keyed.
std::vector<uint32_t> DrawSubmatrix(int height, size_t width, size_t columns, uint32_t draw) {
    std::vector<uint32_t> drawn(columns);
    uint64_t state =
        0x6f6d6272656c5354u ^ (uint64_t(height) << 40) ^ width ^ (uint64_t(draw) << 48);
    const uint32_t mask = (uint32_t{1} << height) - 1;
    for (uint32_t& column : drawn) {
        state += 0x9e3779b97f4a7c15u;  // splitmix64
        uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
        z ^= z >> 31;
        column = (static_cast<uint32_t>(z) & mask) | 1u | (uint32_t{1} << (height - 1));
    }
    return drawn;
}

// The draw each height and row width uses, from bench/stc_search: of the
// first 48, the one that carried random messages with the fewest changes
// (all costs alike), at that width and at widths between it and the one
// below, over 6,000 rows for heights 8 to 10 and 4,000 above. Other
// heights and widths use draw 0.
constexpr int kTableLeast = 8, kTableMost = 13;
constexpr size_t kTableWidest = 64;
constexpr uint8_t kDraws[kTableMost - kTableLeast + 1][kTableWidest - 1] = {
    // height 8
    {8,  35, 4,  19, 36, 15, 1,  29, 34, 47, 0,  37, 10, 7,  42, 36, 9,  19, 39, 44, 10,
     40, 29, 43, 41, 44, 30, 24, 27, 14, 18, 2,  14, 32, 38, 11, 42, 15, 11, 6,  13, 40,
     29, 34, 14, 26, 13, 47, 44, 17, 16, 19, 23, 39, 27, 13, 20, 32, 10, 11, 21, 24, 17},
    // height 9
    {10, 32, 9,  13, 23, 17, 39, 24, 29, 44, 21, 46, 38, 47, 33, 31, 40, 17, 26, 1,  43,
     5,  1,  23, 31, 45, 37, 0,  20, 9,  10, 14, 22, 8,  37, 23, 38, 0,  43, 30, 26, 1,
     37, 10, 26, 42, 26, 4,  29, 14, 27, 13, 2,  20, 25, 6,  21, 14, 43, 39, 9,  3,  16},
    // height 10
    {46, 25, 22, 35, 39, 11, 25, 39, 27, 8,  16, 32, 17, 7,  46, 7,  1,  20, 32, 6,  33,
     44, 27, 13, 43, 39, 38, 36, 20, 13, 6,  8,  28, 36, 7,  36, 16, 16, 15, 3,  1,  0,
     40, 18, 15, 27, 22, 20, 14, 42, 5,  26, 19, 45, 44, 4,  3,  40, 41, 31, 25, 22, 11},
    // height 11
    {23, 27, 13, 14, 44, 42, 16, 47, 3,  2,  17, 1,  15, 7,  46, 6,  17, 37, 43, 27, 6,
     29, 8,  47, 10, 10, 8,  29, 11, 31, 1,  5,  33, 4,  33, 5,  17, 11, 0,  47, 2,  16,
     32, 16, 32, 47, 7,  33, 8,  43, 40, 11, 34, 22, 16, 6,  28, 44, 42, 15, 4,  3,  28},
    // height 12
    {36, 25, 32, 26, 10, 20, 46, 21, 3,  32, 15, 19, 23, 19, 31, 34, 21, 2,  3,  2,  9,
     16, 42, 13, 26, 26, 32, 17, 29, 16, 9,  17, 2,  9,  9,  18, 29, 13, 3,  0,  47, 7,
     18, 22, 35, 9,  39, 19, 26, 20, 35, 1,  12, 44, 35, 38, 11, 45, 3,  4,  18, 42, 15},
    // height 13
    {16, 42, 32, 37, 31, 23, 3,  45, 10, 16, 36, 38, 42, 23, 14, 12, 17, 32, 9,  27, 38,
     11, 20, 21, 43, 14, 31, 44, 2,  1,  17, 21, 0,  3,  16, 12, 8,  45, 45, 10, 5,  20,
     31, 47, 34, 40, 14, 14, 10, 0,  30, 14, 42, 45, 1,  27, 16, 31, 35, 29, 34, 28, 14},
};

std::vector<uint32_t> Submatrix(int height, const Layout& layout) {
    const size_t width = layout.RowWidth();
    const bool tabled =
        height >= kTableLeast && height <= kTableMost && width >= 2 && width <= kTableWidest;
    return DrawSubmatrix(height, width, layout.Width(),
                         tabled ? kDraws[height - kTableLeast][width - 2] : 0);
}

// One trellis step for every state: new[s] is the cheaper of no change
// (from s, free) and a change (from s ^ v, costing `one`); a path bit
// records a change.
void StepScalar(const float* old, float* next, uint8_t* path, size_t states, uint32_t v,
                float one) {
    std::memset(path, 0, std::max<size_t>(states / 8, 1));
    for (size_t s = 0; s < states; ++s) {
        const float a = old[s], b = old[s ^ v] + one;
        if (b < a) {
            next[s] = b;
            path[s / 8] |= static_cast<uint8_t>(1u << (s % 8));
        } else {
            next[s] = a;
        }
    }
}

void StepSse2(const float* old, float* next, uint8_t* path, size_t states, uint32_t v, float one) {
    const __m128 one4 = _mm_set1_ps(one);
    const size_t high = v & ~uint32_t{3};
    auto loop = [&](auto shuffle) {
        for (size_t s = 0; s < states; s += 8) {
            unsigned bits = 0;
            for (size_t half = 0; half < 8; half += 4) {
                const __m128 a = _mm_load_ps(old + s + half);
                const __m128 b = _mm_add_ps(shuffle(_mm_load_ps(old + ((s + half) ^ high))), one4);
                const __m128 less = _mm_cmplt_ps(b, a);
                _mm_store_ps(next + s + half, _mm_or_ps(_mm_and_ps(less, b), _mm_andnot_ps(less, a)));
                bits |= static_cast<unsigned>(_mm_movemask_ps(less)) << half;
            }
            path[s / 8] = static_cast<uint8_t>(bits);
        }
    };
    switch (v & 3) {
        case 0: loop([](__m128 x) { return x; }); break;
        case 1: loop([](__m128 x) { return _mm_shuffle_ps(x, x, _MM_SHUFFLE(2, 3, 0, 1)); }); break;
        case 2: loop([](__m128 x) { return _mm_shuffle_ps(x, x, _MM_SHUFFLE(1, 0, 3, 2)); }); break;
        default: loop([](__m128 x) { return _mm_shuffle_ps(x, x, _MM_SHUFFLE(0, 1, 2, 3)); }); break;
    }
}

__attribute__((target("avx2"))) void StepAvx2(const float* old, float* next, uint8_t* path,
                                              size_t states, uint32_t v, float one) {
    const __m256 one8 = _mm256_set1_ps(one);
    const __m256i order =
        _mm256_xor_si256(_mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7), _mm256_set1_epi32(int(v & 7)));
    const size_t high = v & ~uint32_t{7};
    for (size_t s = 0; s < states; s += 8) {
        const __m256 a = _mm256_load_ps(old + s);
        const __m256 b = _mm256_add_ps(
            _mm256_permutevar8x32_ps(_mm256_load_ps(old + (s ^ high)), order), one8);
        const __m256 less = _mm256_cmp_ps(b, a, _CMP_LT_OQ);
        _mm256_store_ps(next + s, _mm256_blendv_ps(a, b, less));
        path[s / 8] = static_cast<uint8_t>(_mm256_movemask_ps(less));
    }
}

// GCC 12's AVX-512 headers start vectors from undefined values.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

__attribute__((target("avx512f"))) void StepAvx512(const float* old, float* next, uint8_t* path,
                                                   size_t states, uint32_t v, float one) {
    const __m512 one16 = _mm512_set1_ps(one);
    const __m512i order = _mm512_xor_si512(
        _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15),
        _mm512_set1_epi32(int(v & 15)));
    const size_t high = v & ~uint32_t{15};
    for (size_t s = 0; s < states; s += 16) {
        const __m512 a = _mm512_load_ps(old + s);
        const __m512 b =
            _mm512_add_ps(_mm512_permutexvar_ps(order, _mm512_load_ps(old + (s ^ high))), one16);
        const __mmask16 less = _mm512_cmp_ps_mask(b, a, _CMP_LT_OQ);
        _mm512_store_ps(next + s, _mm512_mask_blend_ps(less, a, b));
        const uint16_t bits = less;
        std::memcpy(path + s / 8, &bits, sizeof bits);
    }
}

// The end of a row: next[s] = old[2s + m] for the lower half, the upper
// half unreachable; returns the least cost kept.
float ShiftScalar(const float* old, float* next, size_t states, unsigned m) {
    float best = kInf;
    for (size_t s = 0; s < states / 2; ++s) best = std::min(best, next[s] = old[2 * s + m]);
    std::fill(next + states / 2, next + states, kInf);
    return best;
}

__attribute__((target("avx512f"))) float ShiftAvx512(const float* old, float* next, size_t states,
                                                     unsigned m) {
    const __m512i pick = _mm512_add_epi32(
        _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30),
        _mm512_set1_epi32(int(m)));
    __m512 best = _mm512_set1_ps(kInf);
    for (size_t s = 0; s < states / 2; s += 16) {
        const __m512 kept = _mm512_permutex2var_ps(_mm512_load_ps(old + 2 * s), pick,
                                                   _mm512_load_ps(old + 2 * s + 16));
        _mm512_store_ps(next + s, kept);
        best = _mm512_min_ps(best, kept);
    }
    for (size_t s = states / 2; s < states; s += 16) _mm512_store_ps(next + s, _mm512_set1_ps(kInf));
    return _mm512_reduce_min_ps(best);
}

void RebaseScalar(float* costs, size_t count, float by) {
    for (size_t s = 0; s < count; ++s) costs[s] -= by;
}

__attribute__((target("avx512f"))) void RebaseAvx512(float* costs, size_t count, float by) {
    for (size_t s = 0; s < count; s += 16)
        _mm512_store_ps(costs + s, _mm512_sub_ps(_mm512_load_ps(costs + s), _mm512_set1_ps(by)));
}

#pragma GCC diagnostic pop

using StepFunction = void (*)(const float*, float*, uint8_t*, size_t, uint32_t, float);
using ShiftFunction = float (*)(const float*, float*, size_t, unsigned);
using RebaseFunction = void (*)(float*, size_t, float);

// The widest kernels the processor runs.
struct Kernels {
    StepFunction step = StepScalar;
    ShiftFunction shift = ShiftScalar;
    RebaseFunction rebase = RebaseScalar;
};

Kernels PickKernels(size_t states) {
    static const bool avx512 = __builtin_cpu_supports("avx512f");
    static const bool avx2 = __builtin_cpu_supports("avx2");
    Kernels k;
    if (states >= 32 && avx512) {
        k.step = StepAvx512;
        k.shift = ShiftAvx512;
        k.rebase = RebaseAvx512;
    } else if (states >= 8) {
        k.step = avx2 ? StepAvx2 : StepSse2;
    }
    return k;
}

struct FreeAligned {
    void operator()(void* p) const { ::operator delete[](p, std::align_val_t{64}); }
};

// Row j's mask: the rows past the last message bit do not exist.
uint32_t RowMask(uint64_t bits, uint64_t j, int height) {
    return bits - j >= uint64_t(height) ? (uint32_t{1} << height) - 1
                                        : (uint32_t{1} << (bits - j)) - 1;
}

// The changes of rows [from, to) from the path the forward pass
// recorded for them (`path` at the first of their columns), from the end;
// *state carries the trellis state from the rows after them.
void Backtrack(const uint8_t* path, size_t pathBytes, const Layout& layout,
               const std::vector<uint32_t>& sub, const uint8_t* msg, int height, uint64_t from,
               uint64_t to, size_t* state, uint8_t* changed) {
    const size_t states = size_t{1} << height, base = layout.Start(from);
    size_t s = *state, end = layout.Start(to);
    for (uint64_t j = to; j-- > from;) {
        s = (s << 1 | msg[j]) & (states - 1);
        const uint32_t mask = RowMask(layout.bits, j, height);
        const size_t start = layout.Start(j);
        // A column's bit depends on the state the later ones left, so one
        // at a time each waits on the last. Few columns change, and the
        // state holds until one does: the bits of up to 8 are read at once
        // for the state as it is, and those before the last change among
        // them read again.
        for (size_t k = end; k > start;) {
            const size_t group = std::min<size_t>(8, k - start), first = k - group;
            const uint8_t* rows = path + (first - base) * pathBytes + s / 8;
            const uint8_t* ahead = path + (first - base > 64 ? first - base - 64 : 0) * pathBytes;
            unsigned bits = 0;
            for (size_t g = 0; g < group; ++g) {
                __builtin_prefetch(ahead + g * pathBytes + s / 8);
                bits |= (rows[g * pathBytes] >> (s % 8) & 1u) << g;
            }
            const size_t last = bits == 0 ? first : first + (31 - size_t(__builtin_clz(bits)));
            std::memset(changed + last, 0, k - last);
            if (bits != 0) {
                changed[last] = 1;
                s ^= sub[last - start] & mask;
            }
            k = last;
        }
        end = start;
    }
    *state = s;
}

// Row boundaries cutting a layer into stretches of at most `most` columns
// (0: those whose path fits in kBlockPathBits) where rows allow: a long
// layer is traced a stretch at a time.
std::vector<uint64_t> Stretches(const Layout& layout, size_t pathBytes, size_t most) {
    if (most == 0) most = std::max<size_t>(1, kBlockPathBits / 8 / pathBytes);
    std::vector<uint64_t> cuts{0};
    for (uint64_t j = 1; j <= layout.bits; ++j)
        if (j == layout.bits || layout.Start(j + 1) - layout.Start(cuts.back()) > most) cuts.push_back(j);
    return cuts;
}

// The forward pass over every stretch, keeping the metrics each starts
// from; then, from the last stretch back, its path recomputed and traced.
// Memory holds one stretch's path, for twice the forward work when there
// are several. `forward(from, to, metrics, keep)` runs rows [from, to)
// from the metrics it is given, leaving the last ones there (false when no
// way goes on), and may skip recording the path unless `keep`;
// `back(from, to, state)` traces those rows.
template <typename T, typename Forward, typename Back>
bool Trace(const std::vector<uint64_t>& cuts, size_t states, T* metrics, T none, Forward forward,
           Back back) {
    const size_t stretches = cuts.size() - 1;
    std::vector<T> starts((stretches - 1) * states);
    auto first = [&] {
        std::fill(metrics, metrics + states, none);
        metrics[0] = 0;
    };
    first();
    for (size_t i = 0; i < stretches; ++i) {
        if (i > 0) std::copy(metrics, metrics + states, starts.begin() + ptrdiff_t((i - 1) * states));
        if (!forward(cuts[i], cuts[i + 1], metrics, i + 1 == stretches)) return false;
    }
    if (metrics[0] == none) return false;
    size_t state = 0;
    back(cuts[stretches - 1], cuts[stretches], &state);
    for (size_t i = stretches - 1; i-- > 0;) {
        if (i == 0)
            first();
        else
            std::copy(starts.begin() + ptrdiff_t((i - 1) * states),
                      starts.begin() + ptrdiff_t(i * states), metrics);
        forward(cuts[i], cuts[i + 1], metrics, true);
        back(cuts[i], cuts[i + 1], &state);
    }
    return true;
}

// The same trellis on 16-bit costs, 32 states a step. Costs are scaled
// and capped so that a row's columns cannot carry a path past the range
// before the row's end measures all from the best; 0xFFFF is forbidden
// and saturating sums keep it so. False when the block needs the float
// trellis instead: costs too spread for 16 bits, or every way saturated.
constexpr uint16_t kInf16 = 0xFFFF;

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

__attribute__((target("avx512bw"))) uint16_t MinAvx512(__m512i v) {
    const __m256i m = _mm256_min_epu16(_mm512_castsi512_si256(v), _mm512_extracti64x4_epi64(v, 1));
    const __m128i h = _mm_min_epu16(_mm256_castsi256_si128(m), _mm256_extracti128_si256(m, 1));
    return static_cast<uint16_t>(_mm_cvtsi128_si32(_mm_minpos_epu16(h)));
}

template <bool kKeep>
__attribute__((target("avx512bw"))) bool Forward16(const uint16_t* w,
                                                    const Layout& layout,
                                                    const std::vector<uint32_t>& sub,
                                                    const uint8_t* msg, int height,
                                                    uint64_t from, uint64_t to, uint8_t* path,
                                                    uint16_t* metrics) {
    const size_t states = size_t{1} << height, pathBytes = states / 8, base = layout.Start(from);
    size_t end = base;
    uint16_t* old = metrics;
    uint16_t* next = metrics + states;
    const __m512i iota = _mm512_set_epi16(31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18,
                                          17, 16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2,
                                          1, 0);
    const __m512i inf = _mm512_set1_epi16(static_cast<short>(kInf16));
    for (uint64_t j = from; j < to; ++j) {
        const uint32_t mask = RowMask(layout.bits, j, height);
        const size_t start = end;
        end = layout.Start(j + 1);
        for (size_t k = start; k < end; ++k) {
            const uint32_t v = sub[k - start] & mask;
            const __m512i one = _mm512_set1_epi16(static_cast<short>(w[k]));
            const __m512i order = _mm512_xor_si512(iota, _mm512_set1_epi16(short(v & 31)));
            const size_t high = v & ~uint32_t{31};
            uint8_t* row = path + (k - base) * pathBytes;
            for (size_t s = 0; s < states; s += 32) {
                const __m512i p = _mm512_load_si512(old + s);
                const __m512i q = _mm512_adds_epu16(
                    _mm512_permutexvar_epi16(order, _mm512_load_si512(old + (s ^ high))), one);
                // The least, not a blend by the comparison: the next step
                // waits on this one, and not on the comparison.
                _mm512_store_si512(next + s, _mm512_min_epu16(p, q));
                if constexpr (kKeep) {
                    const uint32_t bits = _mm512_cmplt_epu16_mask(q, p);
                    std::memcpy(row + s / 8, &bits, sizeof bits);
                }
            }
            std::swap(old, next);
        }
        // The row's end: keep the states that agree with its message bit,
        // measured from the best; the forbidden stay forbidden.
        const __m512i pick = _mm512_add_epi16(_mm512_add_epi16(iota, iota),
                                              _mm512_set1_epi16(short(msg[j])));
        __m512i best = inf;
        for (size_t s = 0; s < states / 2; s += 32) {
            const __m512i kept = _mm512_permutex2var_epi16(_mm512_load_si512(old + 2 * s), pick,
                                                           _mm512_load_si512(old + 2 * s + 32));
            _mm512_store_si512(next + s, kept);
            best = _mm512_min_epu16(best, kept);
        }
        const uint16_t least = MinAvx512(best);
        if (least == kInf16) return false;
        const __m512i by = _mm512_set1_epi16(static_cast<short>(least));
        for (size_t s = 0; s < states / 2; s += 32) {
            const __m512i v = _mm512_load_si512(next + s);
            _mm512_store_si512(next + s,
                               _mm512_mask_subs_epu16(v, _mm512_cmpneq_epu16_mask(v, inf), v, by));
        }
        for (size_t s = states / 2; s < states; s += 32) _mm512_store_si512(next + s, inf);
        std::swap(old, next);
    }
    if (old != metrics) std::copy(old, old + states, metrics);
    return true;
}

// The same on 8-bit costs, 64 states a step, where the processor permutes
// bytes: half the work of 16 bits. The range is too short to keep every
// way exact, so a way that falls a whole range behind the best of its row
// start saturates and is dropped, as a forbidden one is: at 8 steps a nat
// that is 32 nats, odds no way that far behind ever wins back. A twin of
// Forward16 rather than one template with it: each has its own target,
// and only this one may use the byte permutes.
constexpr uint8_t kInf8 = 0xFF;

__attribute__((target("avx512bw"))) uint8_t Min8Avx512(__m512i v) {
    const __m256i m = _mm256_min_epu8(_mm512_castsi512_si256(v), _mm512_extracti64x4_epi64(v, 1));
    const __m128i h = _mm_min_epu8(_mm256_castsi256_si128(m), _mm256_extracti128_si256(m, 1));
    const __m128i wide =
        _mm_min_epu16(_mm_cvtepu8_epi16(h), _mm_cvtepu8_epi16(_mm_srli_si128(h, 8)));
    return static_cast<uint8_t>(_mm_cvtsi128_si32(_mm_minpos_epu16(wide)));
}

template <bool kKeep>
__attribute__((target("avx512bw,avx512vbmi"))) bool Forward8(const uint8_t* w,
                                                              const Layout& layout,
                                                              const std::vector<uint32_t>& sub,
                                                              const uint8_t* msg, int height,
                                                              uint64_t from, uint64_t to,
                                                              uint8_t* path, uint8_t* metrics) {
    const size_t states = size_t{1} << height, pathBytes = states / 8, base = layout.Start(from);
    size_t end = base;
    uint8_t* old = metrics;
    uint8_t* next = metrics + states;
    alignas(64) static constexpr auto kIota = [] {
        std::array<uint8_t, 64> a{};
        for (size_t i = 0; i < a.size(); ++i) a[i] = static_cast<uint8_t>(i);
        return a;
    }();
    const __m512i iota = _mm512_load_si512(kIota.data());
    const __m512i inf = _mm512_set1_epi8(static_cast<char>(kInf8));
    for (uint64_t j = from; j < to; ++j) {
        const uint32_t mask = RowMask(layout.bits, j, height);
        const size_t start = end;
        end = layout.Start(j + 1);
        for (size_t k = start; k < end; ++k) {
            const uint32_t v = sub[k - start] & mask;
            const __m512i one = _mm512_set1_epi8(static_cast<char>(w[k]));
            const __m512i order = _mm512_xor_si512(iota, _mm512_set1_epi8(char(v & 63)));
            const size_t high = v & ~uint32_t{63};
            uint8_t* row = path + (k - base) * pathBytes;
            for (size_t s = 0; s < states; s += 64) {
                const __m512i p = _mm512_load_si512(old + s);
                const __m512i q = _mm512_adds_epu8(
                    _mm512_permutexvar_epi8(order, _mm512_load_si512(old + (s ^ high))), one);
                _mm512_store_si512(next + s, _mm512_min_epu8(p, q));
                if constexpr (kKeep) {
                    const uint64_t bits = _mm512_cmplt_epu8_mask(q, p);
                    std::memcpy(row + s / 8, &bits, sizeof bits);
                }
            }
            std::swap(old, next);
        }
        const __m512i pick = _mm512_add_epi8(_mm512_add_epi8(iota, iota),
                                             _mm512_set1_epi8(char(msg[j])));
        __m512i best = inf;
        for (size_t s = 0; s < states / 2; s += 64) {
            const __m512i kept = _mm512_permutex2var_epi8(_mm512_load_si512(old + 2 * s), pick,
                                                          _mm512_load_si512(old + 2 * s + 64));
            _mm512_store_si512(next + s, kept);
            best = _mm512_min_epu8(best, kept);
        }
        const uint8_t least = Min8Avx512(best);
        if (least == kInf8) return false;
        const __m512i by = _mm512_set1_epi8(static_cast<char>(least));
        for (size_t s = 0; s < states / 2; s += 64) {
            const __m512i v = _mm512_load_si512(next + s);
            _mm512_store_si512(next + s,
                               _mm512_mask_subs_epu8(v, _mm512_cmpneq_epu8_mask(v, inf), v, by));
        }
        for (size_t s = states / 2; s < states; s += 64) _mm512_store_si512(next + s, inf);
        std::swap(old, next);
    }
    if (old != metrics) std::copy(old, old + states, metrics);
    return true;
}

#pragma GCC diagnostic pop

// The 8-bit trellis where AVX2 is the widest: 32 states a step. Bytes
// move only within a 16-byte half, so a step's order is the halves'
// swap, if any, then a shuffle within each.
template <bool kKeep>
__attribute__((target("avx2"))) bool Forward8Avx2(const uint8_t* w, const Layout& layout,
                                                  const std::vector<uint32_t>& sub,
                                                  const uint8_t* msg, int height, uint64_t from,
                                                  uint64_t to, uint8_t* path, uint8_t* metrics) {
    const size_t states = size_t{1} << height, pathBytes = states / 8, base = layout.Start(from);
    size_t end = base;
    uint8_t* old = metrics;
    uint8_t* next = metrics + states;
    const __m256i iota = _mm256_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 0,
                                          1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    const __m256i halves[2] = {_mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7),
                               _mm256_setr_epi32(4, 5, 6, 7, 0, 1, 2, 3)};
    // A half's even bytes to its low eight (the others cleared).
    const __m256i evens = _mm256_setr_epi8(0, 2, 4, 6, 8, 10, 12, 14, -128, -128, -128, -128, -128,
                                           -128, -128, -128, 0, 2, 4, 6, 8, 10, 12, 14, -128, -128,
                                           -128, -128, -128, -128, -128, -128);
    const __m256i inf = _mm256_set1_epi8(static_cast<char>(kInf8));
    for (uint64_t j = from; j < to; ++j) {
        const uint32_t mask = RowMask(layout.bits, j, height);
        const size_t start = end;
        end = layout.Start(j + 1);
        for (size_t k = start; k < end; ++k) {
            const uint32_t v = sub[k - start] & mask;
            const __m256i one = _mm256_set1_epi8(static_cast<char>(w[k]));
            const __m256i order = _mm256_xor_si256(iota, _mm256_set1_epi8(char(v & 15)));
            const __m256i swap = halves[v >> 4 & 1];
            const size_t high = v & ~uint32_t{31};
            uint8_t* row = path + (k - base) * pathBytes;
            for (size_t s = 0; s < states; s += 32) {
                const __m256i p = _mm256_load_si256(reinterpret_cast<const __m256i*>(old + s));
                const __m256i other =
                    _mm256_load_si256(reinterpret_cast<const __m256i*>(old + (s ^ high)));
                const __m256i q = _mm256_adds_epu8(
                    _mm256_shuffle_epi8(_mm256_permutevar8x32_epi32(other, swap), order), one);
                const __m256i least = _mm256_min_epu8(p, q);
                _mm256_store_si256(reinterpret_cast<__m256i*>(next + s), least);
                if constexpr (kKeep) {
                    // q < p just where the least is not p.
                    const uint32_t bits =
                        ~static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(least, p)));
                    std::memcpy(row + s / 8, &bits, sizeof bits);
                }
            }
            std::swap(old, next);
        }
        const __m256i pick = _mm256_add_epi8(evens, _mm256_set1_epi8(char(msg[j])));
        __m256i best = inf;
        for (size_t s = 0; s < states / 2; s += 32) {
            const __m256i a = _mm256_shuffle_epi8(
                _mm256_load_si256(reinterpret_cast<const __m256i*>(old + 2 * s)), pick);
            const __m256i b = _mm256_shuffle_epi8(
                _mm256_load_si256(reinterpret_cast<const __m256i*>(old + 2 * s + 32)), pick);
            const __m256i kept = _mm256_permute4x64_epi64(_mm256_unpacklo_epi64(a, b), 0xD8);
            _mm256_store_si256(reinterpret_cast<__m256i*>(next + s), kept);
            best = _mm256_min_epu8(best, kept);
        }
        __m128i m = _mm_min_epu8(_mm256_castsi256_si128(best), _mm256_extracti128_si256(best, 1));
        m = _mm_min_epu8(m, _mm_srli_si128(m, 8));
        m = _mm_min_epu8(m, _mm_srli_si128(m, 4));
        m = _mm_min_epu8(m, _mm_srli_si128(m, 2));
        m = _mm_min_epu8(m, _mm_srli_si128(m, 1));
        const uint8_t least = static_cast<uint8_t>(_mm_cvtsi128_si32(m));
        if (least == kInf8) return false;
        const __m256i by = _mm256_set1_epi8(static_cast<char>(least));
        for (size_t s = 0; s < states / 2; s += 32) {
            __m256i* at = reinterpret_cast<__m256i*>(next + s);
            const __m256i v = _mm256_load_si256(at);
            _mm256_store_si256(at, _mm256_blendv_epi8(_mm256_subs_epu8(v, by), v,
                                                      _mm256_cmpeq_epi8(v, inf)));
        }
        for (size_t s = states / 2; s < states; s += 32)
            _mm256_store_si256(reinterpret_cast<__m256i*>(next + s), inf);
        std::swap(old, next);
    }
    if (old != metrics) std::copy(old, old + states, metrics);
    return true;
}

// Past this a change's odds are below 1e-13: the narrow trellises cost
// all such changes the cap alike.
constexpr double kNeverNats = 30;

// Costs given in nats (the log-odds against a change) as integers of
// `scale` a nat, rounded, forbidden ones `none`.
template <typename T>
std::unique_ptr<T[]> Quantize(const float* w, size_t n, double scale, T none) {
    std::unique_ptr<T[]> q(new (std::nothrow) T[n]);
    const float cap = static_cast<float>(kNeverNats), by = static_cast<float>(scale);
    if (q)
        for (size_t i = 0; i < n; ++i)
            q[i] = w[i] == kInf ? none : static_cast<T>(std::min(w[i], cap) * by + 0.5f);
    return q;
}

// 16 bits a cost, so that a row's columns (`width`, that many times the
// cap) cannot carry a path past the range with a quarter of it free; 0
// when the row is too wide for that.
double Scale16(size_t width) {
    const double cap = std::min(4095.0, 16383.0 / double(width));
    return cap < 4 * kNeverNats ? 0 : cap / kNeverNats;
}
constexpr double kScale8 = 8;
static_assert(kNeverNats * kScale8 < kInf8);

// A thread's trellis path, kept from one layer and block to the next: a
// new one each time cost its tens of megabytes in page faults and in the
// kernel's clearing. A worker's goes when its thread ends; the caller's
// when the embedding returns (PathsKept).
thread_local std::unique_ptr<uint8_t[]> tPath;
thread_local size_t tPathBytes = 0;

class PathBuffer {
  public:
    explicit PathBuffer(size_t bytes) {
        if (bytes > tPathBytes) {
            tPath.reset();
            tPath.reset(new (std::nothrow) uint8_t[bytes]);
            tPathBytes = tPath ? bytes : 0;
        }
    }
    uint8_t* get() const { return tPath.get(); }
};

struct PathsKept {
    PathsKept() = default;
    PathsKept(const PathsKept&) = delete;
    PathsKept& operator=(const PathsKept&) = delete;
    ~PathsKept() {
        tPath.reset();
        tPathBytes = 0;
        polar::ReleaseWorkspace();
    }
};

// The syndrome of the bits y (a bit in each byte's bit `plane`) under the
// layout's matrix, a bit a byte.
void Syndrome(const uint8_t* y, int plane, const Layout& layout, const std::vector<uint32_t>& sub,
              uint8_t* out) {
    uint32_t s = 0;
    size_t end = 0;
    for (uint64_t j = 0; j < layout.bits; ++j) {
        const size_t start = end;
        end = layout.Start(j + 1);
        for (size_t k = start; k < end; ++k)  // no branch: the bits are random
            s ^= sub[k - start] & (0u - (y[k] >> plane & 1u));
        out[j] = s & 1;
        s >>= 1;
    }
}

// The stego bits y nearest in cost to the cover bits x (a flip of bit i
// costs w[i]; infinity forbids it) whose syndrome is msg (a bit a byte).
// Costs in nats may run on 8 or 16 bits. False when no way avoids a
// forbidden flip.
bool EmbedLayer(const uint8_t* x, const float* w, size_t n, const uint8_t* msg, uint64_t bits,
                int height, uint8_t* y, bool nats = false, const uint32_t* given = nullptr,
                size_t most = 0, Kernel kernel = Kernel::kWidest) {
    if (bits == 0) {
        std::memcpy(y, x, n);
        return true;
    }
    if (bits > n) return false;
    const size_t states = size_t{1} << height, pathBytes = std::max<size_t>(states / 8, 1);
    const Layout layout(n, bits);
    const std::vector<uint32_t> sub =
        given ? std::vector<uint32_t>(given, given + layout.Width()) : Submatrix(height, layout);
    const std::vector<uint64_t> cuts = Stretches(layout, pathBytes, most);
    size_t longest = 0;
    for (size_t i = 0; i + 1 < cuts.size(); ++i)
        longest = std::max<size_t>(longest, layout.Start(cuts[i + 1]) - layout.Start(cuts[i]));
    // Every byte of the path is written before it is read.
    PathBuffer path(longest * pathBytes);
    if (!path.get()) return false;
    // The trellis codes the changes, y ^ x, whose syndrome must then be
    // msg ^ Hx: a step adds a cost on one side only.
    const std::unique_ptr<uint8_t[]> target(new (std::nothrow) uint8_t[bits]);
    if (!target) return false;
    Syndrome(x, 0, layout, sub, target.get());
    for (uint64_t j = 0; j < bits; ++j) target[j] ^= msg[j];
    auto back = [&](uint64_t from, uint64_t to, size_t* state) {
        Backtrack(path.get(), pathBytes, layout, sub, target.get(), height, from, to, state, y);
    };
    // The changes traced into y made y. A payload near what the cheap
    // elements hold can force changes past kNeverNats, which the capped
    // costs would pick among blindly: false then.
    auto applied = [&] {
        bool capped = false;
        for (size_t i = 0; i < n; ++i) {
            capped |= (y[i] != 0) & (w[i] > kNeverNats);
            y[i] ^= x[i];
        }
        return !capped;
    };
    // The narrow trellis on costs of type T, `forward` its kernel.
    auto narrow = [&]<typename T>(double scale, T none, auto forward) {
        const std::unique_ptr<T[]> q = scale == 0 ? nullptr : Quantize(w, n, scale, none);
        if (!q) return false;
        std::unique_ptr<T, FreeAligned> metrics(static_cast<T*>(
            ::operator new[](2 * states * sizeof(T), std::align_val_t{64}, std::nothrow)));
        auto run = [&](uint64_t from, uint64_t to, T* m, bool keep) {
            return forward(q.get(), from, to, m, keep);
        };
        return metrics && Trace(cuts, states, metrics.get(), none, run, back) && applied();
    };
    static const bool avx512bw = __builtin_cpu_supports("avx512bw");
    static const bool avx512vbmi = __builtin_cpu_supports("avx512vbmi");
    static const bool avx2 = __builtin_cpu_supports("avx2");
    // Each needs two vectors of states at a row's end.
    if (nats && avx512vbmi && kernel == Kernel::kWidest && states >= 128 &&
        narrow(kScale8, kInf8,
               [&](const uint8_t* q, uint64_t from, uint64_t to, uint8_t* m, bool keep) {
            return keep ? Forward8<true>(q, layout, sub, target.get(), height, from, to, path.get(), m)
                        : Forward8<false>(q, layout, sub, target.get(), height, from, to, path.get(), m);
        }))
        return true;
    if (nats && avx2 && (!avx512vbmi || kernel == Kernel::kAvx2) && states >= 64 &&
        narrow(kScale8, kInf8,
               [&](const uint8_t* q, uint64_t from, uint64_t to, uint8_t* m, bool keep) {
            const uint8_t* t = target.get();
            return keep ? Forward8Avx2<true>(q, layout, sub, t, height, from, to, path.get(), m)
                        : Forward8Avx2<false>(q, layout, sub, t, height, from, to, path.get(), m);
        }))
        return true;
    if (nats && avx512bw && states >= 64 &&
        narrow(Scale16(layout.Width()), kInf16,
               [&](const uint16_t* q, uint64_t from, uint64_t to, uint16_t* m, bool keep) {
            return keep ? Forward16<true>(q, layout, sub, target.get(), height, from, to, path.get(), m)
                        : Forward16<false>(q, layout, sub, target.get(), height, from, to, path.get(), m);
        }))
        return true;
    std::unique_ptr<float, FreeAligned> buffer(static_cast<float*>(
        ::operator new[](2 * states * sizeof(float), std::align_val_t{64}, std::nothrow)));
    if (!buffer) return false;
    const Kernels kernels = PickKernels(states);
    auto forward = [&](uint64_t from, uint64_t to, float* metrics, bool) {
        float* old = metrics;
        float* next = old + states;
        const size_t base = layout.Start(from);
        size_t end = base;
        for (uint64_t j = from; j < to; ++j) {
            const uint32_t mask = RowMask(bits, j, height);
            const size_t start = end;
            end = layout.Start(j + 1);
            for (size_t k = start; k < end; ++k) {
                kernels.step(old, next, path.get() + (k - base) * pathBytes, states,
                             sub[k - start] & mask, w[k]);
                std::swap(old, next);
            }
            // Row j is done: keep the states that agree with its message bit,
            // shifted to make room for the next row, measured from the best.
            const float best = kernels.shift(old, next, states, target[j]);
            if (best == kInf) return false;
            if (best > 1e4f) kernels.rebase(next, states / 2, best);  // before precision goes
            std::swap(old, next);
        }
        if (old != metrics) std::copy(old, old + states, metrics);
        return true;
    };
    if (!Trace(cuts, states, buffer.get(), kInf, forward, back)) return false;
    applied();
    return true;
}

// The syndrome of the bits y (a bit in each byte's bit `plane`).
void ExtractLayer(const uint8_t* y, size_t n, int plane, uint64_t bits, int height, uint8_t* msg) {
    if (bits == 0) return;
    const Layout layout(n, bits);
    Syndrome(y, plane, layout, Submatrix(height, layout), msg);
}

// Which way flips the second bit: +1 from an odd value, -1 from an even.
bool UpFlipsSecond(uint8_t low) {
    return low & 1;
}

// Probabilities of the optimal changes at lambda: e^(-lambda cost) for
// each allowed way, against 1 for none.
struct Odds {
    double up, down, none;
};

Odds OddsAt(uint8_t low, float cost, double lambda) {
    const double e = std::exp(-lambda * cost);
    const double up = low & kNoUp ? 0 : e, down = low & kNoDown ? 0 : e;
    const double z = 1 + up + down;
    return {up / z, down / z, 1 / z};
}

double Entropy2(double p) {
    return p <= 0 || p >= 1 ? 0 : -(p * std::log2(p) + (1 - p) * std::log2(1 - p));
}

// The changes' entropy at lambda, in bits: with z = 1 + k e^(-lambda cost)
// for k allowed ways, it is ln z + lambda cost (1 - 1/z) nats, one
// exponential and one logarithm where the sum over the odds takes three.
double EntropyAt(uint8_t low, float cost, double lambda) {
    const double ways = double(!(low & kNoUp)) + double(!(low & kNoDown));
    const double z = 1 + ways * std::exp(-lambda * cost);
    return (std::log(z) + lambda * cost * (1 - 1 / z)) / std::numbers::ln2;
}

// Every step-th element, for estimates.
struct Sample {
    const Elements& elements;
    size_t step;
    explicit Sample(const Elements& e, size_t most = kSampleElements)
        : elements(e), step(std::max<size_t>(1, e.count / most)) {}
    template <typename F>
    double Sum(F f) const {
        double sum = 0;
        for (size_t i = 0; i < elements.count; i += step) sum += f(elements.low[i], elements.cost[i]);
        return sum * (double(elements.count) / double((elements.count + step - 1) / step));
    }
};

// The lambda at which the changes' entropy is `bits`.
double Lambda(const Sample& sample, uint64_t bits) {
    auto entropy = [&](double lambda) {
        return sample.Sum([&](uint8_t low, float cost) { return EntropyAt(low, cost, lambda); });
    };
    if (entropy(0) <= double(bits)) return 0;
    double lo = 0, hi = 1;
    while (entropy(hi) > double(bits) && hi < 1e30) lo = hi, hi *= 16;
    for (int i = 0; i < 60 && hi - lo > hi * 1e-4; ++i) {
        const double mid = (lo + hi) / 2;
        (entropy(mid) > double(bits) ? lo : hi) = mid;
    }
    return (lo + hi) / 2;
}

uint64_t UpperBitsAt(const Sample& sample, double lambda, uint64_t bits) {
    const double upper = sample.Sum([&](uint8_t low, float cost) {
        const Odds o = OddsAt(low, cost, lambda);
        return Entropy2(UpFlipsSecond(low) ? o.up : o.down);
    });
    return std::min<uint64_t>(bits, static_cast<uint64_t>(std::llround(std::max(0.0, upper))));
}

void UnpackBits(const uint8_t* message, uint64_t from, uint64_t count, uint8_t* bits) {
    for (uint64_t i = 0; i < count; ++i) bits[i] = message[(from + i) / 8] >> ((from + i) % 8) & 1;
}

// log(1 + e^-t) for t in [0, 16), within about 2e-7, in arithmetic the
// passes below vectorise: the library's exp and log1p, an element at a
// time, cost more than the rest of a block's set-up together. e^-t is
// 2^-k e^-r with r in [0, ln 2), then log(1 + u) = 2 atanh(u / (2 + u)),
// whose series converges fast for u up to 1.
[[gnu::always_inline]] inline float LogOnePlusExpMinus(float t) {
    const int32_t k = static_cast<int32_t>(t * 1.44269504f);  // t >= 0: the floor
    const float kf = static_cast<float>(k);
    // ln 2 in two parts, so that r keeps its precision.
    const float r = (t - kf * 0.693145752f) - kf * 1.42860677e-6f;
    float e = (1.0f / 40320) * r - 1.0f / 5040;
    e = ((e * r + 1.0f / 720) * r - 1.0f / 120) * r + 1.0f / 24;
    e = (((e * r - 1.0f / 6) * r + 0.5f) * r - 1.0f) * r + 1.0f;
    const float u = e * std::bit_cast<float>(static_cast<uint32_t>(127 - k) << 23);
    const float s = u / (2 + u), s2 = s * s;
    float series = ((1.0f / 13) * s2 + 1.0f / 11) * s2 + 1.0f / 9;
    series = (((series * s2 + 1.0f / 7) * s2 + 1.0f / 5) * s2 + 1.0f / 3) * s2 + 1.0f;
    return 2 * s * series;
}

// A block's passes over its elements, without branches, which the random
// ways would mispredict, and copied for each instruction set, where they
// run several times faster than on SSE2. The second plane's cover bits
// and costs: the binary cost of the one way that flips it, lc + log(1 +
// e^-lc) where the other way is allowed too (the term is below 1e-7 past
// lc = 16); a forbidden flip costs infinity.
// Bits 2 and 3 are kNoUp and kNoDown: for the way that flips the second bit
// (up from an odd value) and the other way, which is forbidden.
static_assert(kNoUp == 4 && kNoDown == 8);
constexpr uint32_t kInfBits = 0x7F800000u;

[[gnu::target_clones("avx512f", "avx2", "default")]] void UpperPass(const uint8_t* low,
                                                                  const float* cost, size_t n,
                                                                  float lambda, uint8_t* x,
                                                                  float* w) {
    for (size_t i = 0; i < n; ++i) {
        const uint32_t l = low[i], up = l & 1;
        x[i] = static_cast<uint8_t>(l >> 1 & 1);
        const uint32_t flipForbidden = l >> (3 - up) & 1, otherForbidden = l >> (2 + up) & 1;
        const float c = lambda * cost[i];
        const float term = LogOnePlusExpMinus(c < 16 ? c : 16.0f);
        const uint32_t kept = (1 - otherForbidden) & uint32_t(c < 16);
        w[i] = c + std::bit_cast<float>(std::bit_cast<uint32_t>(term) & (0u - kept)) +
               std::bit_cast<float>(kInfBits & (0u - flipForbidden));
    }
}

// The lowest plane's, once the second's changes are known: the other way
// is the only change left, and none where the second bit flipped. Two
// passes, one over the bytes (`forbidden` one a byte) and one into the
// costs, each of a shape the vectoriser takes.
[[gnu::target_clones("avx512f", "avx2", "default")]] void LowerPass(
    const uint8_t* low, const float* cost, size_t n, float lambda, const uint8_t* second,
    uint8_t* x, uint8_t* forbidden, float* w) {
    for (size_t i = 0; i < n; ++i) {
        const uint8_t l = low[i], flipped = (second[i] ^ x[i]) & 1;
        forbidden[i] = (flipped | (l & 1 ? l >> 3 : l >> 2)) & 1;
        x[i] = (l & 1) ^ flipped;
    }
    for (size_t i = 0; i < n; ++i)
        w[i] = lambda * cost[i] + std::bit_cast<float>(kInfBits & (0u - forbidden[i]));
}

// The changes both planes chose, as values: +1 flips the second bit from an
// odd value; it flipped, or else the lowest did alone, the other way.
[[gnu::target_clones("avx512f", "avx2", "default")]] void ApplyPass(uint8_t* low, size_t n,
                                                                  const uint8_t* second,
                                                                  const uint8_t* y) {
    for (size_t i = 0; i < n; ++i) {
        const uint32_t l = low[i];
        const uint32_t flippedSecond = (second[i] ^ (l >> 1)) & 1;
        const uint32_t flippedLowest = (y[i] ^ l) & 1 & ~flippedSecond;
        const uint32_t down = (l & 1) - 1;  // all ones when +1 does not flip the second bit
        const uint32_t delta = ((flippedSecond - flippedLowest) ^ down) - down;
        low[i] = static_cast<uint8_t>(((l + delta) & 3) | (l & (kNoUp | kNoDown)));
    }
}

// The ranks of a polar block's positions for each plane (polar.h); null
// for a trellis block.
struct PolarRanks {
    const polar::Carriers* upper = nullptr;
    const polar::Carriers* lower = nullptr;
};

// Codes one block: the second plane first, with the cost of the one way
// that flips it; then the lowest plane, where the other way is the only
// change left (an element whose second bit flipped has its lowest bit
// flipped already). A block of 2^log elements with ranks is a polar one.
bool EmbedBlock(uint8_t* low, const float* cost, size_t n, double lambda, const uint8_t* upper,
                uint64_t upperBits, const uint8_t* lower, uint64_t lowerBits, int height, int log,
                const PolarRanks& ranks) {
    auto layer = [&](const uint8_t* x, const float* w, const uint8_t* msg, uint64_t bits,
                     const polar::Carriers* r, uint8_t* y) {
        return log > 0 ? polar::EmbedLayer(x, w, log, *r, msg, bits, y)
                       : EmbedLayer(x, w, n, msg, bits, height, y, true);
    };
    // Every element of these is written before it is read.
    const auto x = std::make_unique_for_overwrite<uint8_t[]>(n);
    const auto second = std::make_unique_for_overwrite<uint8_t[]>(n);
    const auto y = std::make_unique_for_overwrite<uint8_t[]>(n);
    const auto w = std::make_unique_for_overwrite<float[]>(n);
    UpperPass(low, cost, n, static_cast<float>(lambda), x.get(), w.get());
    if (!layer(x.get(), w.get(), upper, upperBits, ranks.upper, second.get())) return false;
    LowerPass(low, cost, n, static_cast<float>(lambda), second.get(), x.get(), y.get(), w.get());
    if (!layer(x.get(), w.get(), lower, lowerBits, ranks.lower, y.get())) return false;
    ApplyPass(low, n, second.get(), y.get());
    return true;
}

// A code block: elements [start, end), in each part's bits too, coded by
// a trellis of `height` or, where log > 0, as a polar block of 2^log.
struct Share {
    size_t start, end;
    uint64_t upperFrom, upperCount, lowerFrom, lowerCount;
    int height = 0, log = 0;
};

Share ShareOf(size_t start, size_t end, size_t count, uint64_t upperBits, uint64_t lowerBits) {
    Share s;
    s.start = start;
    s.end = end;
    s.upperFrom = MulDiv(s.start, upperBits, count);
    s.upperCount = MulDiv(s.end, upperBits, count) - s.upperFrom;
    s.lowerFrom = upperBits + MulDiv(s.start, lowerBits, count);
    s.lowerCount = upperBits + MulDiv(s.end, lowerBits, count) - s.lowerFrom;
    return s;
}

size_t BlockCount(size_t count, int height, size_t block) {
    if (block == kBlock) block = std::max(kLeastBlock, kBlockPathBits >> height);
    return std::max<size_t>(1, (count + block - 1) / block);
}

// Polar blocks are no shorter: below, the trellis loses less.
constexpr int kLeastPolarLog = 12;

// 0 (no polar blocks) or a length Blocks can cut.
bool ValidPolarLog(int polarLog) {
    return polarLog == 0 || (polarLog >= kLeastPolarLog && polarLog <= polar::kMostLog);
}

// The blocks of a sequence. Trellis blocks are alike in length. Polar ones
// are 2^polarLog long while that many are left, then one of each shorter
// power of two the rest holds, down to kLeastPolarLog; the last few
// elements go to a trellis as tall as their number allows.
std::vector<Share> Blocks(size_t count, int height, size_t block, int polarLog, uint64_t upperBits,
                          uint64_t lowerBits) {
    std::vector<Share> blocks;
    if (polarLog == 0) {
        const size_t n = BlockCount(count, height, block);
        for (size_t b = 0; b < n; ++b) {
            blocks.push_back(ShareOf(MulDiv(b, count, n), MulDiv(b + 1, count, n), count,
                                     upperBits, lowerBits));
            blocks.back().height = height;
        }
        return blocks;
    }
    size_t start = 0;
    for (int log = polarLog; log >= kLeastPolarLog; --log) {
        const size_t length = size_t{1} << log;
        while (count - start >= length) {
            blocks.push_back(ShareOf(start, start + length, count, upperBits, lowerBits));
            blocks.back().log = log;
            start += length;
        }
    }
    if (start < count) {
        blocks.push_back(ShareOf(start, count, count, upperBits, lowerBits));
        blocks.back().height = HeightFor(count - start);
    }
    return blocks;
}

// Each polar length's ranks for both planes, at the rates the whole
// sequence's parts give, for as many bits as its blocks carry. Empty when
// memory runs out.
struct PolarTable {
    polar::Carriers upper[polar::kMostLog + 1], lower[polar::kMostLog + 1];
    PolarRanks Of(int log) const {
        return log > 0 ? PolarRanks{&upper[log], &lower[log]} : PolarRanks{};
    }
};

bool RankBlocks(const std::vector<Share>& blocks, size_t count, uint64_t upperBits,
                uint64_t lowerBits, unsigned threads, PolarTable* table) {
    std::vector<std::pair<int, bool>> tasks;  // (log, upper plane)
    // The fewest and most bits a block of each length carries, by plane.
    uint64_t least[polar::kMostLog + 1][2], most[polar::kMostLog + 1][2] = {};
    std::fill(&least[0][0], &least[0][0] + 2 * (polar::kMostLog + 1), UINT64_MAX);
    for (const Share& s : blocks) {
        if (s.log == 0) continue;
        if (least[s.log][0] == UINT64_MAX) {
            tasks.push_back({s.log, true});
            tasks.push_back({s.log, false});
        }
        for (const bool upper : {false, true}) {
            const uint64_t bits = upper ? s.upperCount : s.lowerCount;
            least[s.log][upper] = std::min(least[s.log][upper], bits);
            most[s.log][upper] = std::max(most[s.log][upper], bits);
        }
    }
    std::atomic<bool> failed{false};
    RunShared(threads, tasks.size(), [&](uint64_t t) {
        const auto [log, upper] = tasks[t];
        const double rate = double(upper ? upperBits : lowerBits) / double(count);
        if (!polar::Rank(log, rate, least[log][upper], most[log][upper],
                         &(upper ? table->upper : table->lower)[log]))
            failed = true;
    });
    return !failed;
}

}  // namespace

int HeightFor(size_t count) {
    // A step costs twice the time a height up; fewer elements than the
    // limit keep the coding near a second on one thread.
    constexpr size_t kUpTo[] = {size_t{1} << 19, size_t{1} << 20, size_t{1} << 21, size_t{1} << 22,
                                size_t{1} << 23};
    int height = 13;
    for (const size_t limit : kUpTo) {
        if (count <= limit) return height;
        --height;
    }
    return height;
}

bool EmbedBits(const uint8_t* x, const float* w, size_t count, const uint8_t* msg, uint64_t bits,
               int height, uint8_t* y) {
    const PathsKept kept;
    if (height == kHeight) height = HeightFor(count);
    return height >= 1 && height <= 16 && EmbedLayer(x, w, count, msg, bits, height, y);
}

std::vector<uint32_t> DrawnSubmatrix(int height, size_t count, uint64_t bits, uint32_t draw) {
    const Layout layout(count, bits);
    return DrawSubmatrix(height, layout.RowWidth(), layout.Width(), draw);
}

bool EmbedBitsWith(const uint32_t* columns, const uint8_t* x, const float* w, size_t count,
                   const uint8_t* msg, uint64_t bits, int height, uint8_t* y) {
    const PathsKept kept;
    return height >= 1 && height <= 16 &&
           EmbedLayer(x, w, count, msg, bits, height, y, false, columns);
}

bool EmbedBitsInStretches(const uint8_t* x, const float* w, size_t count, const uint8_t* msg,
                          uint64_t bits, int height, size_t most, uint8_t* y, bool nats,
                          Kernel kernel) {
    const PathsKept kept;
    return height >= 1 && height <= 16 &&
           EmbedLayer(x, w, count, msg, bits, height, y, nats, nullptr, std::max<size_t>(1, most),
                      kernel);
}

bool MatrixEntry(int height, size_t count, uint64_t bits, uint64_t row, size_t column) {
    if (height == kHeight) height = HeightFor(count);
    if (bits == 0 || column >= count) return false;
    const Layout layout(count, bits);
    uint64_t j = MulDiv(column, bits, count);
    while (j + 1 < bits && layout.Start(j + 1) <= column) ++j;
    while (j > 0 && layout.Start(j) > column) --j;
    if (row < j || row - j >= uint64_t(height) || row >= bits) return false;
    return Submatrix(height, layout)[column - layout.Start(j)] >> (row - j) & 1;
}

uint64_t MaxBits(size_t count) {
    return count;
}

namespace {

// All blocks coded with one split, into `out`; false when one of them
// cannot carry its share.
bool EmbedSplit(const Elements& elements, const uint8_t* message, uint64_t bits, uint64_t upperBits,
                double lambda, int height, size_t block, int polarLog, unsigned threads,
                uint8_t* out) {
    const std::vector<Share> blocks =
        Blocks(elements.count, height, block, polarLog, upperBits, bits - upperBits);
    PolarTable table;
    if (!RankBlocks(blocks, elements.count, upperBits, bits - upperBits, threads, &table))
        return false;
    std::atomic<bool> failed{false};
    RunShared(threads, blocks.size(), [&](uint64_t b) {
        if (failed) return;
        const Share& s = blocks[b];
        // A block's buffers are many megabytes: running out of memory on a
        // worker thread fails the embedding, it does not end the program.
        try {
            std::vector<uint8_t> upper(s.upperCount), lower(s.lowerCount);
            UnpackBits(message, s.upperFrom, s.upperCount, upper.data());
            UnpackBits(message, s.lowerFrom, s.lowerCount, lower.data());
            std::copy(elements.low + s.start, elements.low + s.end, out + s.start);
            if (!EmbedBlock(out + s.start, elements.cost + s.start, s.end - s.start, lambda,
                            upper.data(), s.upperCount, lower.data(), s.lowerCount, s.height,
                            s.log, table.Of(s.log)))
                failed = true;
        } catch (const std::bad_alloc&) {
            failed = true;
        }
    });
    return !failed;
}

}  // namespace

uint64_t UpperBits(uint64_t bits, uint16_t share) {
    return MulDiv(bits, share, 65535);
}

namespace {

// Codes the message at the first split that finds a way, of those
// `splits(sample, lambda)` gives; *share gets it.
template <typename Splits>
bool EmbedTrying(const Elements& elements, const uint8_t* message, uint64_t bits, int height,
                 size_t block, int polarLog, unsigned threads, uint16_t* share, Splits splits) {
    const PathsKept kept;
    *share = 0;
    if (height == kHeight) height = HeightFor(elements.count);
    if (bits > MaxBits(elements.count) || height < 1 || height > 16 || !ValidPolarLog(polarLog))
        return false;
    if (bits == 0) return true;
    std::vector<uint8_t> out;
    try {
        out.resize(elements.count);
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
    const Sample sample(elements);
    const double lambda = Lambda(sample, bits);
    for (const uint16_t tried : splits(sample, lambda)) {
        if (!EmbedSplit(elements, message, bits, UpperBits(bits, tried), lambda, height, block,
                        polarLog, threads, out.data()))
            continue;
        std::copy(out.begin(), out.end(), elements.low);
        *share = tried;
        return true;
    }
    return false;
}

}  // namespace

bool Embed(const Elements& elements, const uint8_t* message, uint64_t bits, uint16_t* share,
           int height, unsigned threads, size_t block, int polarLog) {
    return EmbedTrying(elements, message, bits, height, block, polarLog, threads, share,
                       [bits](const Sample& sample, double lambda) {
        // Near the capacity, forbidden changes can leave one plane no way
        // through. A split a little off gives other changes in the second
        // plane, so another pattern of forbidden ones in the lowest, and
        // mostly a way; past those, the second plane takes more of the
        // load, in steps (the lowest plane alone, tried last, is plain bit
        // replacement).
        const uint64_t best = UpperBitsAt(sample, lambda, bits);
        std::vector<uint64_t> splits{best};
        for (uint64_t k = 1; k <= 4; ++k) {
            const uint64_t off = std::max<uint64_t>(1, bits * k / 256);
            if (best + off <= bits) splits.push_back(best + off);
            if (best >= off) splits.push_back(best - off);
        }
        for (uint64_t k = 1; k <= 4; ++k) splits.push_back(best + (bits - best) * k / 4);
        for (uint64_t k = 3; k-- > 0;) splits.push_back(best * k / 4);
        std::vector<uint16_t> shares;
        for (const uint64_t upper : splits)
            shares.push_back(static_cast<uint16_t>(MulDiv(upper, 65535, bits)));
        return shares;
    });
}

bool EmbedAtShare(const Elements& elements, const uint8_t* message, uint64_t bits, uint16_t share,
                  int height) {
    uint16_t used;
    return EmbedTrying(elements, message, bits, height, kBlock, 0, 1, &used,
                       [share](const Sample&, double) { return std::vector<uint16_t>{share}; });
}

void Extract(const uint8_t* low, size_t count, uint64_t bits, uint16_t share, uint8_t* message,
             int height, size_t block, int polarLog) {
    std::memset(message, 0, (bits + 7) / 8);
    if (height == kHeight) height = HeightFor(count);
    if (bits == 0 || height < 1 || height > 16 || !ValidPolarLog(polarLog)) return;
    const uint64_t upperBits = UpperBits(bits, share);
    const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
    const std::vector<Share> blocks =
        Blocks(count, height, block, polarLog, upperBits, bits - upperBits);
    PolarTable table;
    if (!RankBlocks(blocks, count, upperBits, bits - upperBits, threads, &table)) return;
    // The blocks are read side by side, each into parts of its own: their
    // bits share the message's bytes at the ends.
    std::vector<std::vector<uint8_t>> upper(blocks.size()), lower(blocks.size());
    std::atomic<bool> failed{false};
    RunShared(threads, blocks.size(), [&](uint64_t b) {
        const Share& s = blocks[b];
        try {
            upper[b].resize(s.upperCount);
            lower[b].resize(s.lowerCount);
        } catch (const std::bad_alloc&) {
            failed = true;
            return;
        }
        if (s.log > 0) {
            const PolarRanks ranks = table.Of(s.log);
            if (!polar::ExtractLayer(low + s.start, 1, s.log, *ranks.upper, s.upperCount,
                                     upper[b].data()) ||
                !polar::ExtractLayer(low + s.start, 0, s.log, *ranks.lower, s.lowerCount,
                                     lower[b].data()))
                failed = true;
            return;
        }
        ExtractLayer(low + s.start, s.end - s.start, 1, s.upperCount, s.height, upper[b].data());
        ExtractLayer(low + s.start, s.end - s.start, 0, s.lowerCount, s.height, lower[b].data());
    });
    if (failed) return;  // no memory: a message of zeros, which will not open
    auto put = [&](const std::vector<uint8_t>& part, uint64_t from) {
        for (uint64_t i = 0; i < part.size(); ++i)
            message[(from + i) / 8] |= static_cast<uint8_t>(part[i] << ((from + i) % 8));
    };
    for (size_t b = 0; b < blocks.size(); ++b) {
        put(upper[b], blocks[b].upperFrom);
        put(lower[b], blocks[b].lowerFrom);
    }
}

double BoundCost(const Elements& elements, uint64_t bits) {
    const Sample all(elements, elements.count);
    const double lambda = Lambda(all, bits);
    return all.Sum([&](uint8_t low, float cost) {
        const Odds o = OddsAt(low, cost, lambda);
        return (o.up + o.down) * cost;
    });
}

}  // namespace stc
