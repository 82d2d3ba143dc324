// SPDX-License-Identifier: GPL-3.0-or-later
#include "hiding/stc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "hiding/polar.h"

namespace {

// The syndrome multiplied out from the matrix's entries, row by row.
std::vector<uint8_t> PlainSyndrome(const std::vector<uint8_t>& y, int plane, uint64_t bits,
                                   int height) {
    std::vector<uint8_t> syndrome(bits, 0);
    for (uint64_t row = 0; row < bits; ++row)
        for (size_t k = 0; k < y.size(); ++k)
            if (stc::MatrixEntry(height, y.size(), bits, row, k))
                syndrome[row] ^= y[k] >> plane & 1;
    return syndrome;
}

std::vector<uint8_t> Unpack(const std::vector<uint8_t>& bytes, uint64_t from, uint64_t count) {
    std::vector<uint8_t> bits(count);
    for (uint64_t i = 0; i < count; ++i) bits[i] = bytes[(from + i) / 8] >> ((from + i) % 8) & 1;
    return bits;
}

struct Cover {
    std::vector<uint8_t> low;
    std::vector<float> cost;
    stc::Elements elements() { return {low.data(), cost.data(), low.size()}; }
};

// Values spread over 0..255 (the ends forbid one way), costs over four
// orders of magnitude.
Cover RandomCover(size_t n, std::mt19937& random) {
    Cover cover{std::vector<uint8_t>(n), std::vector<float>(n)};
    std::uniform_real_distribution<float> exponent(-2, 2);
    for (size_t i = 0; i < n; ++i) {
        const unsigned value = random() % 256;
        cover.low[i] = static_cast<uint8_t>((value & 3) | (value == 255 ? stc::kNoUp : 0) |
                                            (value == 0 ? stc::kNoDown : 0));
        cover.cost[i] = std::pow(10.0f, exponent(random));
    }
    return cover;
}

TEST(Stc, EveryBinarySyndromeIsTheMessage) {
    std::mt19937 random(7);
    struct Case {
        size_t n;
        uint64_t bits;
        int height;
    };
    for (const Case& c :
         {Case{1, 1, 1}, Case{17, 1, 4}, Case{100, 100, 3}, Case{300, 7, 8}, Case{1000, 333, 7},
          Case{1237, 500, 10}, Case{999, 998, 6}, Case{2048, 31, 12}, Case{500, 250, 2}}) {
        SCOPED_TRACE(testing::Message()
                     << c.n << " columns, " << c.bits << " bits, height " << c.height);
        std::vector<uint8_t> x(c.n), y(c.n), msg(c.bits);
        std::vector<float> w(c.n);
        for (auto& b : x) b = random() & 1;
        for (auto& b : msg) b = random() & 1;
        for (auto& v : w) v = 0.1f + float(random() % 1000);
        ASSERT_TRUE(
            stc::EmbedBits(x.data(), w.data(), c.n, msg.data(), c.bits, c.height, y.data()));
        EXPECT_EQ(PlainSyndrome(y, 0, c.bits, c.height), msg);
    }
}

TEST(Stc, ForbiddenChangesAreNeverMade) {
    std::mt19937 random(3);
    const size_t n = 1500;
    std::vector<uint8_t> x(n), y(n), msg(300);
    std::vector<float> w(n);
    for (auto& b : x) b = random() & 1;
    for (auto& b : msg) b = random() & 1;
    for (size_t i = 0; i < n; ++i) w[i] = i % 3 == 0 ? INFINITY : 1.0f;
    ASSERT_TRUE(stc::EmbedBits(x.data(), w.data(), n, msg.data(), msg.size(), 8, y.data()));
    for (size_t i = 0; i < n; i += 3) EXPECT_EQ(x[i], y[i]) << i;
    EXPECT_EQ(PlainSyndrome(y, 0, msg.size(), 8), msg);

    // Nothing may change at all: only the message the cover already spells fits.
    std::fill(w.begin(), w.end(), INFINITY);
    EXPECT_FALSE(stc::EmbedBits(x.data(), w.data(), n, msg.data(), msg.size(), 8, y.data()));
}

// Only the first row's own columns reach it: with them all forbidden, a
// message at half the rate still finds a way, whichever its first bit.
TEST(Stc, ForbiddenFirstColumnsLeaveAWay) {
    std::mt19937 random(17);
    const size_t n = 1000;
    std::vector<uint8_t> x(n), y(n), msg(n / 2);
    std::vector<float> w(n, 1.0f);
    for (auto& b : x) b = random() & 1;
    for (auto& b : msg) b = random() & 1;
    std::fill(w.begin(), w.begin() + 6, INFINITY);
    for (const int height : {6, 8, 13})
        for (const uint8_t first : {0, 1}) {
            SCOPED_TRACE(testing::Message() << "height " << height << ", first bit " << int(first));
            msg[0] = first;
            ASSERT_TRUE(
                stc::EmbedBits(x.data(), w.data(), n, msg.data(), msg.size(), height, y.data()));
            EXPECT_TRUE(std::equal(x.begin(), x.begin() + 6, y.begin()));
            EXPECT_EQ(PlainSyndrome(y, 0, msg.size(), height), msg);
        }
}

// Both planes of a ternary embedding against the plain syndromes, and the
// changes: +-1 only, never a forbidden way. The heights span the narrow
// trellises' smallest state counts.
TEST(Stc, TernaryChangesSpellTheMessageInTwoPlanes) {
    std::mt19937 random(11);
    for (const int height : {4, 5, 6, 7, 8})
        for (const double rate : {0.02, 0.1, 0.4, 1.0})
            for (const size_t n : {size_t{64}, size_t{2000}}) {
                SCOPED_TRACE(testing::Message()
                             << n << " elements at " << rate << ", height " << height);
                Cover cover = RandomCover(n, random);
                const std::vector<uint8_t> before = cover.low;
                const uint64_t bits = static_cast<uint64_t>(rate * double(n));
                std::vector<uint8_t> message((bits + 7) / 8);
                for (auto& b : message) b = static_cast<uint8_t>(random());
                uint16_t share = 0;
                ASSERT_TRUE(stc::Embed(cover.elements(), message.data(), bits, &share, height));
                const uint64_t upper = stc::UpperBits(bits, share);
                for (size_t i = 0; i < n; ++i) {
                    const unsigned step = (cover.low[i] - before[i]) & 3;
                    ASSERT_EQ(cover.low[i] & ~3, before[i] & ~3);
                    ASSERT_NE(step, 2u) << i;
                    const uint8_t forbidding = step == 1   ? stc::kNoUp
                                               : step == 3 ? stc::kNoDown
                                                           : 0;
                    ASSERT_FALSE(before[i] & forbidding) << i;
                }
                EXPECT_EQ(PlainSyndrome(cover.low, 1, upper, height), Unpack(message, 0, upper));
                EXPECT_EQ(PlainSyndrome(cover.low, 0, bits - upper, height),
                          Unpack(message, upper, bits - upper));
                std::vector<uint8_t> back(message.size());
                stc::Extract(cover.low.data(), n, bits, share, back.data(), height);
                if (bits % 8) message.back() &= static_cast<uint8_t>((1u << (bits % 8)) - 1);
                EXPECT_EQ(back, message);
            }
}

// A block whose path would not fit is traced a stretch at a time, its
// forward pass run twice: it must find the very bits one piece does, on
// either trellis, forbidden changes and all.
TEST(Stc, StretchesFindWhatOnePieceDoes) {
    std::mt19937 random(11);
    struct Case {
        size_t n;
        uint64_t bits;
        int height;
        size_t most;
    };
    for (const Case& c : {Case{3000, 150, 7, 100}, Case{2500, 600, 10, 1}, Case{4000, 90, 12, 333},
                          Case{1500, 1200, 6, 64}}) {
        for (const bool nats : {false, true}) {
            SCOPED_TRACE(testing::Message()
                         << c.n << " columns, " << c.bits << " bits, height " << c.height
                         << ", stretches of " << c.most << (nats ? ", nats" : ""));
            std::vector<uint8_t> x(c.n), whole(c.n), stretched(c.n), msg(c.bits);
            std::vector<float> w(c.n);
            for (auto& b : x) b = random() & 1;
            for (auto& b : msg) b = random() & 1;
            for (auto& v : w) v = std::pow(10.0f, float(random() % 300) / 100 - 1);
            for (int i = 0; i < 20; ++i) w[random() % c.n] = INFINITY;
            ASSERT_TRUE(stc::EmbedBitsInStretches(x.data(), w.data(), c.n, msg.data(), c.bits,
                                                  c.height, c.n, whole.data(), nats));
            ASSERT_TRUE(stc::EmbedBitsInStretches(x.data(), w.data(), c.n, msg.data(), c.bits,
                                                  c.height, c.most, stretched.data(), nats));
            EXPECT_EQ(stretched, whole);
        }
    }
}

// The AVX2 trellis on 8-bit costs does the very sums the AVX-512 one does,
// so on a processor with both it must choose the same bits, in one piece
// or in stretches (its other pass), forbidden changes and all. Below 128
// states the widest is the 16-bit one, whose costs round otherwise.
TEST(Stc, KernelsAgree) {
    std::mt19937 random(17);
    struct Case {
        size_t n;
        uint64_t bits;
        int height;
    };
    for (const Case& c : {Case{2000, 300, 6}, Case{3000, 150, 7}, Case{2500, 600, 8},
                          Case{4000, 90, 10}, Case{1500, 1200, 12}}) {
        SCOPED_TRACE(testing::Message() << c.n << " columns, " << c.bits << " bits, height "
                                        << c.height);
        std::vector<uint8_t> x(c.n), widest(c.n), avx2(c.n), stretched(c.n), msg(c.bits);
        std::vector<float> w(c.n);
        for (auto& b : x) b = random() & 1;
        for (auto& b : msg) b = random() & 1;
        for (auto& v : w) v = float(random() % 2000) / 100;  // nats, 0 to 20
        for (int i = 0; i < 20; ++i) w[random() % c.n] = INFINITY;
        ASSERT_TRUE(stc::EmbedBitsInStretches(x.data(), w.data(), c.n, msg.data(), c.bits,
                                              c.height, c.n, widest.data(), true));
        ASSERT_TRUE(stc::EmbedBitsInStretches(x.data(), w.data(), c.n, msg.data(), c.bits,
                                              c.height, c.n, avx2.data(), true,
                                              stc::Kernel::kAvx2));
        ASSERT_TRUE(stc::EmbedBitsInStretches(x.data(), w.data(), c.n, msg.data(), c.bits,
                                              c.height, c.n / 7, stretched.data(), true,
                                              stc::Kernel::kAvx2));
        if (c.height >= 7) {
            EXPECT_EQ(avx2, widest);
        }
        EXPECT_EQ(stretched, avx2);
        EXPECT_EQ(PlainSyndrome(avx2, 0, c.bits, c.height), msg);
    }
}

// Past one code block (shorter at greater heights) the message is shared
// out; several threads code it. The default height is the same on both
// sides.
TEST(Stc, ManyBlocksRoundTrip) {
    std::mt19937 random(5);
    struct Case {
        size_t n;
        int height;
    };
    for (const Case& c :
         {Case{(size_t{1} << 16) + 123, stc::kHeight}, Case{(3 << 14) + 12345, 14}}) {
        SCOPED_TRACE(testing::Message() << c.n << " elements, height " << c.height);
        Cover cover = RandomCover(c.n, random);
        const uint64_t bits = c.n / 20 + 3;
        std::vector<uint8_t> message((bits + 7) / 8), back(message.size());
        for (auto& b : message) b = static_cast<uint8_t>(random());
        message.back() &= static_cast<uint8_t>((1u << (bits % 8)) - 1);
        uint16_t share = 0;
        ASSERT_TRUE(stc::Embed(cover.elements(), message.data(), bits, &share, c.height, 2));
        stc::Extract(cover.low.data(), c.n, bits, share, back.data(), c.height);
        EXPECT_EQ(back, message);
    }
}

// The code's cost stays near the least any code can reach (about 1.2
// times it at this height and rate): a decision taken the wrong way round
// still spells the message, only dearer.
TEST(Stc, CostIsNearTheBound) {
    std::mt19937 random(9);
    const size_t n = 30000;
    Cover cover = RandomCover(n, random);
    for (auto& low : cover.low) low &= 3;
    const std::vector<uint8_t> before = cover.low;
    const uint64_t bits = n / 5;
    std::vector<uint8_t> message((bits + 7) / 8);
    for (auto& b : message) b = static_cast<uint8_t>(random());
    const double bound = stc::BoundCost(cover.elements(), bits);
    uint16_t share = 0;
    ASSERT_TRUE(stc::Embed(cover.elements(), message.data(), bits, &share, 8));
    double cost = 0;
    for (size_t i = 0; i < n; ++i)
        if (cover.low[i] != before[i]) cost += cover.cost[i];
    EXPECT_LT(cost, 1.3 * bound);
    EXPECT_GT(cost, 0.9 * bound);
}

// A payload near what the cheap elements hold forces some changes onto
// dear ones: those must be the least dear, however far past the usual
// costs both kinds lie.
TEST(Stc, ForcedChangesTakeTheCheaperOfTheDear) {
    std::mt19937 random(13);
    const size_t n = 20000;
    Cover cover{std::vector<uint8_t>(n), std::vector<float>(n)};
    for (size_t i = 0; i < n; ++i) {
        cover.low[i] = random() & 3;
        const unsigned kind = random() % 100;
        cover.cost[i] = kind < 12 ? 1.0f : kind < 56 ? 1e3f : 1e5f;
    }
    const std::vector<uint8_t> before = cover.low;
    const uint64_t bits = n * 18 / 100;
    std::vector<uint8_t> message((bits + 7) / 8);
    for (auto& b : message) b = static_cast<uint8_t>(random());
    uint16_t share = 0;
    ASSERT_TRUE(stc::Embed(cover.elements(), message.data(), bits, &share, 8, 1));
    size_t dear = 0, dearest = 0;
    for (size_t i = 0; i < n; ++i)
        if (cover.low[i] != before[i]) {
            dear += cover.cost[i] == 1e3f;
            dearest += cover.cost[i] == 1e5f;
        }
    EXPECT_GT(dear, 0u);
    EXPECT_EQ(dearest, 0u) << dear << " changes at 1e3";
}

// u = y G multiplied out: G's entry (j, i) is 1 where i's bits are among j's.
std::vector<uint8_t> PlainPolarMessage(const std::vector<uint8_t>& y,
                                       const polar::Carriers& carriers, uint64_t bits) {
    std::vector<uint8_t> message;
    for (size_t c = 0; c < carriers.position.size(); ++c) {
        if (carriers.rank[c] >= bits) continue;
        const size_t j = carriers.position[c];
        uint8_t u = 0;
        for (size_t i = 0; i < y.size(); ++i)
            if ((i & j) == j) u ^= y[i];
        message.push_back(u);
    }
    return message;
}

TEST(Polar, EveryMessageIsWhatTheMatrixReads) {
    std::mt19937 random(17);
    struct Case {
        int log;
        uint64_t bits;
        int forbidden;  // one element in this many, 0 for none
    };
    for (const Case& c : {Case{0, 1, 0}, Case{1, 1, 0}, Case{4, 3, 0}, Case{5, 0, 0}, Case{6, 64, 0},
                          Case{8, 13, 5}, Case{10, 100, 3}, Case{11, 1000, 0}, Case{12, 409, 10}}) {
        SCOPED_TRACE(testing::Message() << "2^" << c.log << " elements, " << c.bits << " bits");
        const size_t n = size_t{1} << c.log;
        std::vector<uint8_t> x(n), y(n), msg(c.bits), back(c.bits);
        std::vector<float> w(n);
        for (auto& b : x) b = random() & 1;
        for (auto& b : msg) b = random() & 1;
        for (size_t i = 0; i < n; ++i)
            w[i] = c.forbidden && random() % c.forbidden == 0 ? INFINITY
                                                              : 0.1f + float(random() % 1000);
        polar::Carriers carriers;
        ASSERT_TRUE(polar::Rank(c.log, double(c.bits) / double(n), c.bits, c.bits, &carriers));
        ASSERT_TRUE(polar::EmbedLayer(x.data(), w.data(), c.log, carriers, msg.data(), c.bits,
                                      y.data()));
        for (size_t i = 0; i < n; ++i)
            if (std::isinf(w[i])) {
                ASSERT_EQ(y[i], x[i]) << i;
            }
        EXPECT_EQ(PlainPolarMessage(y, carriers, c.bits), msg);
        ASSERT_TRUE(polar::ExtractLayer(y.data(), 0, c.log, carriers, c.bits, back.data()));
        EXPECT_EQ(back, msg);
        // Asked for more bits than the carriers were ranked for: refused.
        std::vector<uint8_t> more(c.bits + 1);
        EXPECT_FALSE(polar::ExtractLayer(y.data(), 0, c.log, carriers, c.bits + 1, more.data()));
    }
}

// Polar blocks of every length from the longest down, then a trellis for
// the last elements: the receiver cuts the same pieces. The code's cost
// stays near the bound (about 1.26 times it here, in short blocks); a decision taken the
// wrong way round still spells the message, only dearer.
TEST(Polar, BlocksRoundTripNearTheBound) {
    std::mt19937 random(19);
    const size_t n = 2 * 8192 + 4096 + 1234;
    Cover cover = RandomCover(n, random);
    const std::vector<uint8_t> before = cover.low;
    const uint64_t bits = n / 5 + 7;
    std::vector<uint8_t> message((bits + 7) / 8), back(message.size());
    for (auto& b : message) b = static_cast<uint8_t>(random());
    message.back() &= static_cast<uint8_t>((1u << (bits % 8)) - 1);
    const double bound = stc::BoundCost(cover.elements(), bits);
    uint16_t share = 0;
    ASSERT_TRUE(stc::Embed(cover.elements(), message.data(), bits, &share, stc::kHeight, 2,
                           stc::kBlock, 13));
    stc::Extract(cover.low.data(), n, bits, share, back.data(), stc::kHeight, stc::kBlock, 13);
    EXPECT_EQ(back, message);
    double cost = 0;
    for (size_t i = 0; i < n; ++i) {
        const int step = (cover.low[i] - before[i]) & 3;
        ASSERT_TRUE(step == 0 || (step == 1 && !(before[i] & stc::kNoUp)) ||
                    (step == 3 && !(before[i] & stc::kNoDown)))
            << i;
        if (step != 0) cost += cover.cost[i];
    }
    EXPECT_LT(cost, 1.35 * bound);
    // A split a peer may claim, every bit in one plane, reads without fault.
    for (const uint16_t claimed : {uint16_t{0}, uint16_t{65535}})
        stc::Extract(cover.low.data(), n, bits, claimed, back.data(), stc::kHeight, stc::kBlock, 13);
    // Too short a block, or one past the longest, is refused.
    for (const int log : {11, polar::kMostLog + 1})
        EXPECT_FALSE(stc::Embed(cover.elements(), message.data(), bits, &share, stc::kHeight, 1,
                                stc::kBlock, log));
}

}  // namespace
