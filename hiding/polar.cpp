// SPDX-License-Identifier: GPL-3.0-or-later
#include "hiding/polar.h"

#include <emmintrin.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <vector>

namespace polar {
namespace {

// The channel every position starts from, as its Bhattacharyya parameter:
// the rate itself. On a photograph's HILL costs at rates from 1/80 to 1/3,
// no multiple of it from 0.5 to 1.4 left less cost by more than 0.6%.
double StartOf(double rate) {
    return std::clamp(rate, 1e-6, 0.75);
}

// A ranking key from a Bhattacharyya parameter kept as Z when below a half
// and as -(1 - Z) above: the larger the key, the worse the channel. The
// low `log` bits make way for the position, so that ties go to the first.
uint64_t KeyOf(double z, int log, size_t position) {
    const uint64_t bits = std::bit_cast<uint64_t>(z), magnitude = bits & ~(uint64_t{1} << 63);
    const uint64_t key =
        bits >> 63 ? (uint64_t{1} << 63) | (0x7FF0000000000000u - magnitude) : magnitude;
    const uint64_t mask = (uint64_t{1} << log) - 1;
    return (key & ~mask) | (mask - position);
}

// x = u G in place: a butterfly stage at each distance.
[[gnu::always_inline]] inline void Transform(uint8_t* a, size_t n) {
    for (size_t s = 1; s < n; s *= 2)
        for (size_t b = 0; b < n; b += 2 * s)
            for (size_t i = 0; i < s; ++i) a[b + i] ^= a[b + i + s];
}

constexpr uint32_t kSign = 0x80000000u;
// Stands for a forbidden change: a cost no sum of a block's overruns.
constexpr float kForbidden = 1e30f;

// Successive cancellation over one block.
struct Decoder {
    const uint32_t* fixed;  // the positions the message fixes, increasing
    const uint8_t* msg;     // their bits
    float* scratch;         // a level's log-likelihoods at [2^k, 2^(k+1))
};

using NodeFunction = void (*)(const Decoder&, const float*, int, size_t, size_t, size_t, uint8_t*);

// The codeword bits of the subtree of 2^k positions from `off`, whose fixed
// positions are fixed[from, to), from their log-likelihood ratios L
// (positive: 0 more likely). Inlined into each instruction set's copy,
// which it recurses into.
[[gnu::always_inline]] inline void NodeBody(const Decoder& d, const float* L, int k, size_t off,
                                            size_t from, size_t to, uint8_t* out,
                                            NodeFunction node) {
    const size_t n = size_t{1} << k;
    if (from == to) {  // all free: each bit as its own evidence has it
        for (size_t i = 0; i < n; ++i)
            out[i] = static_cast<uint8_t>(std::bit_cast<uint32_t>(L[i]) >> 31);
        return;
    }
    if (to - from == n) {  // all fixed: the message's own codeword
        std::memcpy(out, d.msg + from, n);
        Transform(out, n);
        return;
    }
    const size_t h = n / 2;
    const size_t middle =
        static_cast<size_t>(std::lower_bound(d.fixed + from, d.fixed + to, off + h) - d.fixed);
    float* t = d.scratch + h;
    // The left half's bits are the sums of both halves': min-sum.
    for (size_t i = 0; i < h; ++i) {
        const uint32_t a = std::bit_cast<uint32_t>(L[i]) & ~kSign;
        const uint32_t b = std::bit_cast<uint32_t>(L[i + h]) & ~kSign;
        const uint32_t sign = (std::bit_cast<uint32_t>(L[i]) ^ std::bit_cast<uint32_t>(L[i + h])) & kSign;
        t[i] = std::bit_cast<float>((a < b ? a : b) | sign);
    }
    node(d, t, k - 1, off, from, middle, out);
    // The right half's bits, with the left's known: both halves' evidence.
    for (size_t i = 0; i < h; ++i)
        t[i] = L[i + h] +
               std::bit_cast<float>(std::bit_cast<uint32_t>(L[i]) ^ (uint32_t{out[i]} << 31));
    node(d, t, k - 1, off + h, middle, to, out + h);
    for (size_t i = 0; i < h; ++i) out[i] ^= out[i + h];
}

// A block: the costs as log-likelihoods of the cover bits, the decoding,
// and whether it made a forbidden change.
[[gnu::always_inline]] inline bool BlockBody(const uint8_t* x, const float* w, int log,
                                             size_t bits, float* L, const Decoder& d, uint8_t* y,
                                             NodeFunction node) {
    const size_t n = size_t{1} << log;
    for (size_t i = 0; i < n; ++i) {
        const float c = w[i] < kForbidden ? w[i] : kForbidden;
        L[i] = std::bit_cast<float>(std::bit_cast<uint32_t>(c) ^ (uint32_t{x[i]} << 31));
    }
    node(d, L, log, 0, 0, bits, y);
    unsigned forbidden = 0;
    for (size_t i = 0; i < n; ++i) forbidden |= unsigned(y[i] != x[i]) & unsigned(w[i] > kForbidden);
    return forbidden == 0;
}

using BlockFunction = bool (*)(const uint8_t*, const float*, int, size_t, float*, const Decoder&,
                               uint8_t*);

void NodeBase(const Decoder& d, const float* L, int k, size_t off, size_t from, size_t to,
              uint8_t* out) {
    NodeBody(d, L, k, off, from, to, out, NodeBase);
}

bool BlockBase(const uint8_t* x, const float* w, int log, size_t bits, float* L, const Decoder& d,
               uint8_t* y) {
    return BlockBody(x, w, log, bits, L, d, y, NodeBase);
}

__attribute__((target("avx2"))) void NodeAvx2(const Decoder& d, const float* L, int k, size_t off,
                                              size_t from, size_t to, uint8_t* out) {
    NodeBody(d, L, k, off, from, to, out, NodeAvx2);
}

__attribute__((target("avx2"))) bool BlockAvx2(const uint8_t* x, const float* w, int log,
                                               size_t bits, float* L, const Decoder& d, uint8_t* y) {
    return BlockBody(x, w, log, bits, L, d, y, NodeAvx2);
}

#define POLAR_AVX512 __attribute__((target("avx512f,avx512bw,prefer-vector-width=512")))

POLAR_AVX512 void NodeAvx512(const Decoder& d, const float* L, int k, size_t off, size_t from,
                             size_t to, uint8_t* out) {
    NodeBody(d, L, k, off, from, to, out, NodeAvx512);
}

POLAR_AVX512 bool BlockAvx512(const uint8_t* x, const float* w, int log, size_t bits, float* L,
                              const Decoder& d, uint8_t* y) {
    return BlockBody(x, w, log, bits, L, d, y, NodeAvx512);
}

BlockFunction WidestBlock() {
    if (__builtin_cpu_supports("avx512bw")) return BlockAvx512;
    if (__builtin_cpu_supports("avx2")) return BlockAvx2;
    return BlockBase;
}

// The carriers' positions whose rank is below `bits`, into `out`; their
// number.
size_t Carrying(const Carriers& carriers, uint64_t bits, uint32_t* out) {
    size_t k = 0;
    for (size_t i = 0; i < carriers.position.size(); ++i) {  // without branches
        out[k] = carriers.position[i];
        k += carriers.rank[i] < bits;
    }
    return k;
}

// A thread's working memory (ReleaseWorkspace).
thread_local std::unique_ptr<uint8_t[]> tSpace;
thread_local size_t tSpaceBytes = 0;

uint8_t* Workspace(size_t bytes) {
    if (bytes > tSpaceBytes) {
        tSpace.reset();
        tSpace.reset(new (std::nothrow) uint8_t[bytes]);
        tSpaceBytes = tSpace ? bytes : 0;
    }
    return tSpace.get();
}

}  // namespace

void ReleaseWorkspace() {
    tSpace.reset();
    tSpaceBytes = 0;
}

bool Rank(int log, double rate, uint64_t least, uint64_t most, Carriers* carriers) {
    const size_t n = size_t{1} << log;
    most = std::min<uint64_t>(most, n);
    least = std::min(least, most);
    const std::unique_ptr<double[]> z(new (std::nothrow) double[n]);
    const std::unique_ptr<uint8_t[]> chosen(new (std::nothrow) uint8_t[n]);
    if (!z || !chosen) return false;
    // Bhattacharyya parameters: the first half of a node's positions sees
    // the sum of both halves' bits (2Z - Z^2), the second half both halves'
    // evidence (Z^2). Kept as -(1 - Z) past a half, where the positions that
    // matter crowd. Products of differences only, so that no fused
    // multiply-add can make the receiver's ranks differ.
    const double start = StartOf(rate);
    z[0] = start >= 0.5 ? -(1 - start) : start;
    for (size_t h = 1; h < n; h *= 2) {
        for (size_t j = h; j-- > 0;) {
            const bool near = std::signbit(z[j]);
            const double p = std::fabs(z[j]);  // Z, or 1 - Z when near
            const double square = p * p, twice = p * (2 - p), other = (1 - p) * (1 - p);
            z[2 * j] = near ? -square : twice >= 0.5 ? -other : twice;
            z[2 * j + 1] = near ? (twice <= 0.5 ? -twice : other) : square;
        }
    }
    uint64_t* const keys = reinterpret_cast<uint64_t*>(z.get());
    for (size_t i = 0; i < n; ++i) keys[i] = KeyOf(z[i], log, i);
    // The worst `least` in any order, then the next ones in order.
    std::nth_element(keys, keys + least, keys + n, std::greater<>());
    std::partial_sort(keys + least, keys + most, keys + n, std::greater<>());
    const uint64_t mask = n - 1;
    std::memset(chosen.get(), 0, n);
    for (uint64_t r = 0; r < most; ++r) chosen[mask - (keys[r] & mask)] = 1;
    try {
        carriers->position.assign(most, 0);
        carriers->rank.assign(most, 0);
    } catch (const std::bad_alloc&) {
        return false;
    }
    // Without branches on the chosen, which are scattered.
    for (size_t i = 0, k = 0; k < most; ++i) {
        carriers->position[k] = static_cast<uint32_t>(i);
        k += chosen[i];
    }
    // Those past the first `least` by rank, found by position.
    for (uint64_t r = least; r < most; ++r) {
        const auto at = static_cast<uint32_t>(mask - (keys[r] & mask));
        const auto it = std::lower_bound(carriers->position.begin(), carriers->position.end(), at);
        carriers->rank[static_cast<size_t>(it - carriers->position.begin())] = static_cast<uint32_t>(r);
    }
    return true;
}

bool EmbedLayer(const uint8_t* x, const float* w, int log, const Carriers& carriers,
                const uint8_t* msg, uint64_t bits, uint8_t* y) {
    const size_t n = size_t{1} << log;
    if (bits > n) return false;
    if (bits == 0) {
        std::memcpy(y, x, n);
        return true;
    }
    // Log-likelihoods, the scratch's levels, the fixed positions.
    uint8_t* const space = Workspace(8 * n + 4 * carriers.position.size());
    if (!space) return false;
    float* const L = reinterpret_cast<float*>(space);
    float* const scratch = L + n;
    uint32_t* const fixed = reinterpret_cast<uint32_t*>(scratch + n);
    if (Carrying(carriers, bits, fixed) != bits) return false;
    static const BlockFunction block = WidestBlock();
    return block(x, w, log, bits, L, Decoder{fixed, msg, scratch}, y);
}

bool ExtractLayer(const uint8_t* y, int plane, int log, const Carriers& carriers, uint64_t bits,
                  uint8_t* msg) {
    const size_t n = size_t{1} << log;
    if (bits == 0) return true;
    // The bits packed 64 to a word: a stage within a word is a shift and a
    // mask, one across words a word's XOR. A block under 64 fills part of
    // one word; the stages past its length only add its zeros.
    const size_t words = std::max<size_t>(n / 64, 1);
    const std::unique_ptr<uint64_t[]> u(new (std::nothrow) uint64_t[words]());
    if (!u) return false;
    if (n < 64) {
        for (size_t i = 0; i < n; ++i) u[0] |= uint64_t{y[i] >> plane & 1u} << i;
    } else {
        const __m128i shift = _mm_cvtsi32_si128(7 - plane);
        for (size_t w = 0; w < words; ++w)
            for (int q = 0; q < 4; ++q) {
                const auto* at = reinterpret_cast<const __m128i*>(y + 64 * w + 16 * q);
                // Bit `plane` of each byte to its top, then the tops together.
                const auto tops = uint16_t(_mm_movemask_epi8(_mm_sll_epi16(_mm_loadu_si128(at), shift)));
                u[w] |= uint64_t{tops} << (16 * q);
            }
    }
    constexpr uint64_t kLower[6] = {0x5555555555555555u, 0x3333333333333333u, 0x0F0F0F0F0F0F0F0Fu,
                                    0x00FF00FF00FF00FFu, 0x0000FFFF0000FFFFu, 0x00000000FFFFFFFFu};
    for (size_t w = 0; w < words; ++w) {
        uint64_t v = u[w];
        for (int b = 0; b < 6; ++b) v ^= v >> (1 << b) & kLower[b];
        u[w] = v;
    }
    for (size_t s = 1; s < words; s *= 2)
        for (size_t b = 0; b < words; b += 2 * s)
            for (size_t i = 0; i < s; ++i) u[b + i] ^= u[b + i + s];
    // Carriers ranked for other counts fill `msg` no further than `bits`;
    // fewer than that is a block that cannot be read.
    uint64_t k = 0;
    for (size_t i = 0; i < carriers.position.size() && k < bits; ++i) {
        const uint32_t at = carriers.position[i];
        if (carriers.rank[i] < bits && at < n)
            msg[k++] = static_cast<uint8_t>(u[at / 64] >> (at % 64) & 1);
    }
    return k == bits;
}

}  // namespace polar
