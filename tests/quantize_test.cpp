// SPDX-License-Identifier: GPL-3.0-or-later
#include "imagelib/quantize.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <map>
#include <new>
#include <random>
#include <string>
#include <tuple>

#include "tests/alloc_failure.h"
#include "tests/test_util.h"

namespace {

struct Rgb {
    uint8_t r, g, b;
    bool operator==(const Rgb&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Rgb& c) {
    return out << '(' << int{c.r} << ", " << int{c.g} << ", " << int{c.b} << ')';
}

Rgb Entry(const RGBQUAD& q) {
    return {q.rgbRed, q.rgbGreen, q.rgbBlue};
}

// A palette whose every byte is 0xAB, so untouched entries and reserved
// bytes show.
std::vector<RGBQUAD> MarkedPalette() {
    return std::vector<RGBQUAD>(256, {0xAB, 0xAB, 0xAB, 0xAB});
}

Bytes Solid(uint32_t width, uint32_t height, Rgb c) {
    Bytes rgb(size_t{width} * height * 3);
    for (size_t i = 0; i < rgb.size(); i += 3) {
        rgb[i] = c.r;
        rgb[i + 1] = c.g;
        rgb[i + 2] = c.b;
    }
    return rgb;
}

struct Quantized {
    Bytes indices;
    std::vector<RGBQUAD> palette = MarkedPalette();
};

Quantized Quantize(const Bytes& rgb, uint32_t width, uint32_t height, unsigned colours) {
    Quantized out;
    out.indices.assign(size_t{width} * height, 0xEE);
    EXPECT_TRUE(
        PixQuantize(rgb.data(), out.indices.data(), width, height, colours, out.palette.data()));
    EXPECT_EQ(PixGetLastError(), 0);
    return out;
}

// Which 8 x 8 x 8 cube (the tree's leaf) a colour falls in, ordered as the
// palette lists them: red's bits first, then green's, then blue's, per bit.
uint32_t LeafKey(const uint8_t* p) {
    uint32_t key = 0;
    for (int bit = 7; bit >= 3; --bit)
        key = key << 3 | ((p[0] >> bit) & 1) << 2 | ((p[1] >> bit) & 1) << 1 | ((p[2] >> bit) & 1);
    return key;
}

// ---------------------------------------------------------------------------

TEST(Quantize, OneColourGivesOneEntryAndBlackTail) {
    const Rgb sky{135, 206, 235};
    const Quantized q = Quantize(Solid(7, 5, sky), 7, 5, 16);
    for (uint8_t index : q.indices) ASSERT_EQ(index, 0);
    EXPECT_EQ(Entry(q.palette[0]), sky);
    for (int i = 1; i < 16; ++i) EXPECT_EQ(Entry(q.palette[i]), (Rgb{0, 0, 0})) << i;
    for (int i = 16; i < 256; ++i) EXPECT_EQ(Entry(q.palette[i]), (Rgb{0xAB, 0xAB, 0xAB})) << i;
    for (const RGBQUAD& e : q.palette) ASSERT_EQ(e.rgbReserved, 0xAB);
}

TEST(Quantize, ColourCountZeroIsOneAndGivesTheRoundedMean) {
    // Blue's mean, 63.75, rounds up; red's and green's round down.
    const Bytes rgb = {10, 200, 0, 11,  201, 255,  //
                       12, 100, 0, 200, 0,   0};
    const Quantized zero = Quantize(rgb, 2, 2, 0);
    const Quantized one = Quantize(rgb, 2, 2, 1);
    for (uint8_t index : zero.indices) EXPECT_EQ(index, 0);
    // red (233 + 2) / 4 = 58, green (501 + 2) / 4 = 125, blue (255 + 2) / 4 = 64
    EXPECT_EQ(Entry(zero.palette[0]), (Rgb{58, 125, 64}));
    EXPECT_EQ(Entry(zero.palette[1]), (Rgb{0xAB, 0xAB, 0xAB}));
    EXPECT_EQ(zero.indices, one.indices);
    EXPECT_EQ(Entry(zero.palette[0]), Entry(one.palette[0]));
}

TEST(Quantize, ColourCountAbove256IsTaken256) {
    const Bytes photo = MakePhoto(96, 64);
    const Quantized wide = Quantize(photo, 96, 64, 1000);
    const Quantized full = Quantize(photo, 96, 64, 256);
    EXPECT_EQ(wide.indices, full.indices);
    for (int i = 0; i < 256; ++i) EXPECT_EQ(Entry(wide.palette[i]), Entry(full.palette[i])) << i;
}

TEST(Quantize, FewerCubesThanColoursKeepsOneEntryEach) {
    // Cube centres, so each maps to its own entry without error. The palette
    // lists cubes from the highest red/green/blue bit pattern down.
    const Bytes rgb = {4, 4, 4,   252, 4,  4,  4, 252, 4,  //
                       4, 4, 252, 132, 68, 36, 4, 4,   4};
    const Quantized q = Quantize(rgb, 3, 2, 8);
    const Rgb want[] = {{252, 4, 4}, {132, 68, 36}, {4, 252, 4}, {4, 4, 252}, {4, 4, 4}};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(Entry(q.palette[i]), want[i]) << i;
    for (int i = 5; i < 8; ++i) EXPECT_EQ(Entry(q.palette[i]), (Rgb{0, 0, 0})) << i;
    EXPECT_EQ(q.indices, (Bytes{4, 0, 2, 3, 1, 4}));
}

// Small grey pictures whose mapping is worked out by hand. Entries are
// greys; "a -> b" is the adjusted value and the entry it takes.
struct GreyCase {
    const char* name;
    uint32_t width, height;
    Bytes greys;
    unsigned colours;
    Bytes palette;  // greys of the entries made
    Bytes indices;
};

const GreyCase kGreyCases[] = {
    // The middle pixel sits just below a cell edge, so the error arriving
    // from its left or its right neighbour decides its entry.
    //   row 0, left to right: 102 -> 99 (+3), 7 + 3 / 2 = 8 -> 9, 96 - 1 = 95 -> 99
    //   row 1, right to left: 96 - 2 = 94 -> 99 (-5), 7 + (-1 - 5) / 2 = 4 -> 7
    //   row 2, left to right: 9 + 1 = 10 -> 9, 9 - 1 = 8 -> 9, 9 - 3 = 6 -> 7
    // Reversing either row, or sending the sideways error to the other error
    // row, changes the middle column.
    {"RowsAlternateDirection",
     3,
     3,
     {102, 7, 96,  //
      102, 7, 96,  //
      9, 9, 9},
     256,
     {99, 9, 7},
     {0, 1, 0,  //
      0, 2, 0,  //
      1, 1, 2}},
    // 96 -> 97 leaves -1, and -1 >> 1 is -1 (a division would give 0):
    // 8 - 1 = 7 -> 3, then 98 + 2 = 100 -> 97, 3 + 1 = 4 -> 3.
    {"HalfErrorIsAnArithmeticShift", 4, 1, {96, 8, 98, 3}, 256, {97, 8, 3}, {0, 2, 0, 2}},
    // The cell of 0 has its centre at 4, as far from entry 8 as from entry
    // 0; the first entry wins, so 0 maps to 8.
    {"NearestIsFromTheCellCentreFirstOfEquals", 2, 1, {0, 8}, 256, {8, 0}, {0, 0}},
    // Four one-pixel cubes, 0 and 8 in one branch, 128 and 136 in another;
    // three colours. With equal weights the earliest cube folds first, so
    // 0 and 8 merge into 4 (and not 128 into 136's branch node).
    //   row 0: 0 -> 4 (-4), 8 - 2 = 6 -> 4; row 1: 136 + 1 -> 136, 128 - 2 -> 128
    {"EqualWeightsFoldTheEarliestCube",
     2,
     2,
     {0, 8,  //
      128, 136},
     3,
     {136, 128, 4},
     {2, 2,  //
      1, 0}},
};

void PrintTo(const GreyCase& c, std::ostream* out) {
    *out << c.name;
}

class QuantizeGreys : public ::testing::TestWithParam<GreyCase> {};

TEST_P(QuantizeGreys, MapAsWorkedOut) {
    const GreyCase& c = GetParam();
    Bytes rgb;
    for (uint8_t v : c.greys) rgb.insert(rgb.end(), {v, v, v});
    const Quantized q = Quantize(rgb, c.width, c.height, c.colours);
    for (size_t i = 0; i < c.palette.size(); ++i) {
        const uint8_t v = c.palette[i];
        EXPECT_EQ(Entry(q.palette[i]), (Rgb{v, v, v})) << "entry " << i;
    }
    EXPECT_EQ(q.indices, c.indices);
}

INSTANTIATE_TEST_SUITE_P(Worked, QuantizeGreys, ::testing::ValuesIn(kGreyCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Quantize, EmptyImageGivesAllBlackPalette) {
    uint8_t rgb = 0, index = 0xEE;
    std::vector<RGBQUAD> palette = MarkedPalette();
    EXPECT_TRUE(PixQuantize(&rgb, &index, 0, 7, 4, palette.data()));
    EXPECT_EQ(PixGetLastError(), 0);
    EXPECT_EQ(index, 0xEE);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(Entry(palette[i]), (Rgb{0, 0, 0}));
    EXPECT_EQ(Entry(palette[4]), (Rgb{0xAB, 0xAB, 0xAB}));
}

// Pictures to check the mapping's invariants on: a synthetic photo and, when
// the corpus is present, a real one.
struct Picture3 {
    std::string name;
    uint32_t width, height;
    Bytes rgb;
};

std::vector<Picture3> RealPictures() {
    std::vector<Picture3> pictures;
    pictures.push_back({"Synthetic", 200, 150, MakePhoto(200, 150, 7)});
    Picture p;
    if (ReadPpm(CorpusDir() + "/tiff/pillow/hopper.tif.ref.ppm", &p))
        pictures.push_back({"Hopper", p.width, p.height, p.rgb});
    return pictures;
}

TEST(QuantizeProperties, IndicesStayBelowTheEntriesMade) {
    for (const Picture3& pic : RealPictures()) {
        for (unsigned n : {1u, 64u, 128u, 256u}) {
            SCOPED_TRACE(pic.name + " to " + std::to_string(n));
            std::map<uint32_t, int> cubes;
            for (size_t i = 0; i < pic.rgb.size(); i += 3) ++cubes[LeafKey(&pic.rgb[i])];
            const unsigned made = std::min<unsigned>(n, static_cast<unsigned>(cubes.size()));
            const Quantized q = Quantize(pic.rgb, pic.width, pic.height, n);
            for (uint8_t index : q.indices) ASSERT_LT(index, made);
        }
    }
}

TEST(QuantizeProperties, WithoutReductionEachEntryIsItsCubesRoundedMean) {
    for (Picture3 pic : RealPictures()) {
        SCOPED_TRACE(pic.name);
        // Keep bits 7-6 and 2-0: at most 64 cubes, many colours in each.
        for (uint8_t& v : pic.rgb) v = static_cast<uint8_t>(v & 0xC7);
        std::map<uint32_t, std::tuple<uint64_t, uint64_t, uint64_t, uint64_t>, std::greater<>> sums;
        for (size_t i = 0; i < pic.rgb.size(); i += 3) {
            auto& [r, g, b, count] = sums[LeafKey(&pic.rgb[i])];
            r += pic.rgb[i];
            g += pic.rgb[i + 1];
            b += pic.rgb[i + 2];
            ++count;
        }
        ASSERT_GT(sums.size(), 8u);
        const Quantized q = Quantize(pic.rgb, pic.width, pic.height, 256);
        size_t i = 0;
        for (const auto& [key, s] : sums) {
            const auto& [r, g, b, c] = s;
            const Rgb mean{static_cast<uint8_t>((r + c / 2) / c),
                           static_cast<uint8_t>((g + c / 2) / c),
                           static_cast<uint8_t>((b + c / 2) / c)};
            EXPECT_EQ(Entry(q.palette[i]), mean) << "entry " << i;
            ++i;
        }
        for (uint8_t index : q.indices) ASSERT_LT(index, sums.size());
    }
}

// Over 2^24 pixels of one bright colour in one cube: 32-bit sums would wrap
// and give a wrong entry.
TEST(QuantizeProperties, DominantColourOfA24MegapixelImageIsExact) {
    constexpr uint32_t kWidth = 6000, kHeight = 4000;
    const Rgb sky{135, 206, 235};
    Bytes rgb = Solid(kWidth, kHeight, sky);
    // A dark strip along the bottom so there is more than one colour.
    for (size_t i = rgb.size() - size_t{kWidth} * 3 * 10; i < rgb.size(); ++i) rgb[i] = 20;
    const Quantized q = Quantize(rgb, kWidth, kHeight, 64);
    EXPECT_EQ(Entry(q.palette[0]), sky);
    EXPECT_EQ(Entry(q.palette[1]), (Rgb{20, 20, 20}));
    EXPECT_EQ(q.indices[0], 0);
    EXPECT_EQ(q.indices.back(), 1);
}

// The output is part of what a hidden file's carrier looks like: a faster
// quantizer must give the same indices and palette, byte for byte. The
// digests were recorded from the first implementation.
uint64_t Digest(const Quantized& q) {
    uint64_t h = 14695981039346656037u;  // FNV-1a
    auto add = [&h](const uint8_t* p, size_t n) {
        for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211u;
    };
    add(q.indices.data(), q.indices.size());
    add(reinterpret_cast<const uint8_t*>(q.palette.data()), q.palette.size() * sizeof(RGBQUAD));
    return h;
}

Bytes Noise(uint32_t width, uint32_t height, uint32_t seed) {
    std::mt19937 random(seed);
    Bytes rgb(size_t{width} * height * 3);
    for (uint8_t& v : rgb) v = static_cast<uint8_t>(random());
    return rgb;
}

TEST(QuantizeProperties, OutputIsTheRecordedOne) {
    Picture hopper;
    ASSERT_TRUE(ReadPpm(CorpusDir() + "/tiff/pillow/hopper.tif.ref.ppm", &hopper));
    const struct {
        const char* name;
        uint32_t width, height;
        Bytes rgb;
        unsigned colours;
        uint64_t digest;
    } cases[] = {
        {"photo 64", 200, 150, MakePhoto(200, 150, 7), 64, 0xe93f4568dc24e8ad},
        {"photo 128", 200, 150, MakePhoto(200, 150, 7), 128, 0x0c775308165718c0},
        {"photo 256", 200, 150, MakePhoto(200, 150, 7), 256, 0xe0307feed1bd60b5},
        {"large photo 128", 1000, 700, MakePhoto(1000, 700, 3), 128, 0x5f1783a849f9f82a},
        {"hopper 64", hopper.width, hopper.height, hopper.rgb, 64, 0x688e0336fac9e5e1},
        {"hopper 128", hopper.width, hopper.height, hopper.rgb, 128, 0x35ab8bbd45dd244f},
        {"noise 128", 64, 48, Noise(64, 48, 5), 128, 0x8fa67d22cad13a11},
        {"noise 256", 64, 48, Noise(64, 48, 5), 256, 0xc3eeb75c0f260c10},
        {"flat 128", 9, 7, Solid(9, 7, {255, 0, 128}), 128, 0xe60657fd3ee863a0},
        {"one pixel 128", 1, 1, Bytes{17, 240, 3}, 128, 0x39f27526baebcbf5},
        {"one column 64", 1, 9, MakePhoto(1, 9, 2), 64, 0x433ac04d22690481},
        {"one row 64", 9, 1, MakePhoto(9, 1, 2), 64, 0xe249ac7c775f089f},
        {"tiny noise 2", 3, 2, Noise(3, 2, 9), 2, 0x97e49448f3e348ab},
    };
    for (const auto& c : cases) {
        const Quantized q = Quantize(c.rgb, c.width, c.height, c.colours);
        EXPECT_EQ(Digest(q), c.digest) << c.name << " (0x" << std::hex << Digest(q) << ")";
    }
}

// ---------------------------------------------------------------------------

TEST(QuantizeRefuses, NullPointersWithCode5AndTouchesNothing) {
    const Bytes rgb = Solid(2, 2, {1, 2, 3});
    Bytes indices(4, 0xEE);
    std::vector<RGBQUAD> palette = MarkedPalette();
    const struct {
        const char* name;
        const uint8_t* rgb;
        uint8_t* indices;
        RGBQUAD* palette;
    } cases[] = {
        {"rgb", nullptr, indices.data(), palette.data()},
        {"indices", rgb.data(), nullptr, palette.data()},
        {"palette", rgb.data(), indices.data(), nullptr},
    };
    for (const auto& c : cases) {
        PixSetLastError(0);
        EXPECT_FALSE(PixQuantize(c.rgb, c.indices, 2, 2, 16, c.palette)) << c.name;
        EXPECT_EQ(PixGetLastError(), kPixErrParam) << c.name;
    }
    PixSetLastError(0);
    EXPECT_FALSE(PixRGBToGray(nullptr, 2, 2, indices.data()));
    EXPECT_EQ(PixGetLastError(), kPixErrParam);
    PixSetLastError(0);
    EXPECT_FALSE(PixRGBToGray(rgb.data(), 2, 2, nullptr));
    EXPECT_EQ(PixGetLastError(), kPixErrParam);
    EXPECT_EQ(indices, Bytes(4, 0xEE));
    for (const RGBQUAD& e : palette) ASSERT_EQ(Entry(e), (Rgb{0xAB, 0xAB, 0xAB}));
}

TEST(QuantizeRefuses, SizeBeyondMemoryWithCode5) {
    // 2^32 - 1 squared times 3 bytes does not fit in 64 bits; nothing may be
    // read through the (tiny) buffers.
    uint8_t rgb[3] = {}, index = 0xEE;
    std::vector<RGBQUAD> palette = MarkedPalette();
    EXPECT_FALSE(PixQuantize(rgb, &index, 0xFFFFFFFFu, 0xFFFFFFFFu, 16, palette.data()));
    EXPECT_EQ(PixGetLastError(), kPixErrParam);
    EXPECT_FALSE(PixRGBToGray(rgb, 0xFFFFFFFFu, 0xFFFFFFFFu, &index));
    EXPECT_EQ(PixGetLastError(), kPixErrParam);
    EXPECT_EQ(index, 0xEE);
    EXPECT_EQ(Entry(palette[0]), (Rgb{0xAB, 0xAB, 0xAB}));
}

// Fails each of the quantizer's allocations in turn: each must give code 1,
// leave the outputs alone and (checked by the leak detector) free the rest.
TEST(QuantizeRefuses, EveryAllocationFailureWithCode1) {
    const Bytes rgb = MakePhoto(16, 8);
    PixGetLastError();  // the thread's record is made now, not under the counter
    int failures = 0;
    for (int n = 0;; ++n) {
        Bytes indices(16 * 8, 0xEE);
        std::vector<RGBQUAD> palette = MarkedPalette();
        bool allocationFailed = false;
        BOOL ok = 0;
        {
            FailNthAllocation fail(n);
            ok = PixQuantize(rgb.data(), indices.data(), 16, 8, 8, palette.data());
            allocationFailed = fail.failed();
        }
        if (!allocationFailed) {
            EXPECT_TRUE(ok);
            break;
        }
        ++failures;
        EXPECT_FALSE(ok) << "allocation " << n;
        EXPECT_EQ(PixGetLastError(), kPixErrMemory) << "allocation " << n;
        EXPECT_EQ(indices, Bytes(16 * 8, 0xEE)) << "allocation " << n;
        EXPECT_EQ(Entry(palette[0]), (Rgb{0xAB, 0xAB, 0xAB})) << "allocation " << n;
    }
    EXPECT_GT(failures, 0);
}

// ---------------------------------------------------------------------------

TEST(RgbToGray, WeightsTruncated) {
    const struct {
        Rgb in;
        uint8_t want;
    } cases[] = {
        {{255, 255, 255}, 255}, {{128, 128, 128}, 127}, {{1, 1, 1}, 0},    {{0, 0, 0}, 0},
        {{255, 0, 0}, 76},      {{0, 255, 0}, 149},     {{0, 0, 255}, 29},
    };
    Bytes rgb;
    for (const auto& c : cases) rgb.insert(rgb.end(), {c.in.r, c.in.g, c.in.b});
    Bytes grey(std::size(cases), 0xEE);
    PixSetLastError(kPixErrParam);
    EXPECT_TRUE(PixRGBToGray(rgb.data(), static_cast<uint32_t>(std::size(cases)), 1, grey.data()));
    EXPECT_EQ(PixGetLastError(), 0);
    for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(grey[i], cases[i].want) << cases[i].in;
}

}  // namespace
