// SPDX-License-Identifier: GPL-3.0-or-later
#include "imagelib/bmp.h"

#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <filesystem>
#include <fstream>
#include <regex>

#include "imagelib/common.h"
#include "tests/test_util.h"

// Fixtures name only the fields they set; the rest keep their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using Rgb = std::array<uint8_t, 3>;

// A BMP with a 40-byte header, built in code: `data` is the stored pixel
// bytes exactly as they follow the colour table.
struct BmpSpec {
    int32_t width = 1;
    int32_t height = 1;
    uint16_t bits = 24;
    uint32_t compression = 0;
    std::vector<Rgb> palette;  // written as blue, green, red, 0
    uint32_t coloursUsed = 0;
    Bytes data;
};

Bytes BuildBmp(const BmpSpec& s) {
    const uint32_t offset = 54 + 4 * static_cast<uint32_t>(s.palette.size());
    Bytes b(offset);
    b[0] = 'B';
    b[1] = 'M';
    PutLE32(&b[2], offset + static_cast<uint32_t>(s.data.size()));
    PutLE32(&b[10], offset);
    PutLE32(&b[14], 40);
    PutLE32(&b[18], static_cast<uint32_t>(s.width));
    PutLE32(&b[22], static_cast<uint32_t>(s.height));
    PutLE16(&b[26], 1);
    PutLE16(&b[28], s.bits);
    PutLE32(&b[30], s.compression);
    PutLE32(&b[34], static_cast<uint32_t>(s.data.size()));
    PutLE32(&b[46], s.coloursUsed);
    for (size_t i = 0; i < s.palette.size(); ++i) {
        b[54 + 4 * i] = s.palette[i][2];
        b[55 + 4 * i] = s.palette[i][1];
        b[56 + 4 * i] = s.palette[i][0];
    }
    b.insert(b.end(), s.data.begin(), s.data.end());
    return b;
}

// Palette entry i is (10 i, 20 i, 30 i) mod 256: distinct and easy to recognise.
std::vector<Rgb> Ramp(size_t n) {
    std::vector<Rgb> p(n);
    for (size_t i = 0; i < n; ++i) p[i] = {uint8_t(10 * i), uint8_t(20 * i), uint8_t(30 * i)};
    return p;
}
Rgb RampAt(size_t i) {
    return {uint8_t(10 * i), uint8_t(20 * i), uint8_t(30 * i)};
}

struct Decoded {
    int error = -1;
    bool hasImage = false;
    uint32_t width = 0, height = 0;
    Bytes pixels;
    std::array<RGBQUAD, 256> palette{};
    Rgb At(uint32_t x, uint32_t y) const {
        const size_t i = (size_t{y} * width + x) * 3;
        return {pixels[i], pixels[i + 1], pixels[i + 2]};
    }
};

Decoded Read24(const std::string& path) {
    Decoded d;
    d.width = d.height = 12345;
    HGLOBAL block = PixReadBMP(path.c_str(), &d.width, &d.height);
    d.error = PixGetLastError();
    d.hasImage = block != nullptr;
    d.pixels = TakeBlock(block);
    return d;
}

Decoded Read8(const std::string& path) {
    Decoded d;
    d.width = d.height = 12345;
    HGLOBAL block = PixReadBMP8(path.c_str(), &d.width, &d.height, d.palette.data());
    d.error = PixGetLastError();
    d.hasImage = block != nullptr;
    d.pixels = TakeBlock(block);
    return d;
}

class BmpFiles : public ::testing::Test {
  protected:
    std::string Put(const Bytes& bytes, const std::string& name = "t.bmp") {
        const std::string path = dir_.File(name);
        WriteFileBytes(path, bytes);
        return path;
    }
    Decoded Decode(const Bytes& bytes) { return Read24(Put(bytes)); }
    TempDir dir_;
};

// ---------------------------------------------------------------- reading

TEST_F(BmpFiles, IndexedBitOrderMostSignificantFirst) {
    // 1 bit: 0b10110000 -> 1, 0, 1, 1, 0
    Decoded d =
        Decode(BuildBmp({.width = 5, .bits = 1, .palette = Ramp(2), .data = {0xB0, 0, 0, 0}}));
    ASSERT_EQ(d.error, 0);
    const int want1[] = {1, 0, 1, 1, 0};
    for (uint32_t x = 0; x < 5; ++x) EXPECT_EQ(d.At(x, 0), RampAt(want1[x])) << x;

    // 4 bits: high nibble first; 2 bits: top two bits first.
    d = Decode(BuildBmp({.width = 3, .bits = 4, .palette = Ramp(16), .data = {0x3A, 0x50, 0, 0}}));
    ASSERT_EQ(d.error, 0);
    EXPECT_EQ(d.At(0, 0), RampAt(3));
    EXPECT_EQ(d.At(1, 0), RampAt(10));
    EXPECT_EQ(d.At(2, 0), RampAt(5));
    d = Decode(BuildBmp({.width = 5, .bits = 2, .palette = Ramp(4), .data = {0x1B, 0x80, 0, 0}}));
    ASSERT_EQ(d.error, 0);
    const int want2[] = {0, 1, 2, 3, 2};
    for (uint32_t x = 0; x < 5; ++x) EXPECT_EQ(d.At(x, 0), RampAt(want2[x])) << x;

    // The 8-bit reader unpacks the same bytes into indices.
    d = Read8(
        Put(BuildBmp({.width = 5, .bits = 2, .palette = Ramp(4), .data = {0x1B, 0x80, 0, 0}})));
    ASSERT_EQ(d.error, 0);
    EXPECT_EQ(d.pixels, (Bytes{0, 1, 2, 3, 2}));
}

TEST_F(BmpFiles, TopDownAndBottomUpTwinsGiveTheSameBuffer) {
    // 3 x 2 at 24 bits, rows padded to 12 bytes; stored bottom first, then top first.
    const Bytes top = {1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 0, 0};
    const Bytes bottom = {11, 12, 13, 14, 15, 16, 17, 18, 19, 0, 0, 0};
    Bytes up = bottom, down = top;
    up.insert(up.end(), top.begin(), top.end());
    down.insert(down.end(), bottom.begin(), bottom.end());
    const Decoded a = Decode(BuildBmp({.width = 3, .height = 2, .data = up}));
    const Decoded b = Decode(BuildBmp({.width = 3, .height = -2, .data = down}));
    ASSERT_EQ(a.error, 0);
    ASSERT_EQ(b.error, 0);
    EXPECT_EQ(b.height, 2u);
    EXPECT_EQ(a.pixels, b.pixels);
    EXPECT_EQ(a.At(0, 0), (Rgb{3, 2, 1}));  // stored blue, green, red
    EXPECT_EQ(a.At(2, 1), (Rgb{19, 18, 17}));

    // The 8-bit reader follows the same row order.
    const Decoded c = Read8(Put(BuildBmp({.width = 2,
                                          .height = 2,
                                          .bits = 8,
                                          .palette = Ramp(4),
                                          .coloursUsed = 4,
                                          .data = {1, 2, 0, 0, 3, 0, 0, 0}})));
    const Decoded e = Read8(Put(BuildBmp({.width = 2,
                                          .height = -2,
                                          .bits = 8,
                                          .palette = Ramp(4),
                                          .coloursUsed = 4,
                                          .data = {3, 0, 0, 0, 1, 2, 0, 0}})));
    EXPECT_EQ(c.pixels, (Bytes{3, 0, 1, 2}));
    EXPECT_EQ(c.pixels, e.pixels);
}

TEST_F(BmpFiles, SixteenAndThirtyTwoBitComponents) {
    // 5-5-5: all ones (bit 15 ignored) is white, all zeros is 7, 7, 7.
    Decoded d = Decode(
        BuildBmp({.width = 3, .bits = 16, .data = {0xFF, 0xFF, 0x00, 0x00, 0x00, 0x7C, 0, 0}}));
    ASSERT_EQ(d.error, 0);
    EXPECT_EQ(d.At(0, 0), (Rgb{255, 255, 255}));
    EXPECT_EQ(d.At(1, 0), (Rgb{7, 7, 7}));
    EXPECT_EQ(d.At(2, 0), (Rgb{255, 7, 7}));

    // Bit fields 5-6-5 in the 12 bytes after the header: c * 255 / (2^n - 1), rounded.
    Bytes masks(12);
    PutLE32(&masks[0], 0xF800);
    PutLE32(&masks[4], 0x07E0);
    PutLE32(&masks[8], 0x001F);
    Bytes file = BuildBmp({.width = 2, .bits = 16, .compression = 3, .data = {}});
    file.insert(file.end(), masks.begin(), masks.end());
    for (uint8_t byte : {0xFF, 0xFF, 0x21, 0x08}) file.push_back(byte);  // 0xFFFF, then 1, 1, 1
    PutLE32(&file[10], 66);
    d = Decode(file);
    ASSERT_EQ(d.error, 0);
    EXPECT_EQ(d.At(0, 0), (Rgb{255, 255, 255}));
    EXPECT_EQ(d.At(1, 0), (Rgb{8, 4, 8}));

    // 32 bits: bytes blue, green, red, ignored.
    d = Decode(BuildBmp({.width = 1, .bits = 32, .data = {1, 2, 3, 99}}));
    ASSERT_EQ(d.error, 0);
    EXPECT_EQ(d.At(0, 0), (Rgb{3, 2, 1}));
}

TEST_F(BmpFiles, IndicesBeyondTheColourTableReadAsBlack) {
    const Decoded d = Decode(BuildBmp(
        {.width = 2, .bits = 8, .palette = Ramp(2), .coloursUsed = 2, .data = {1, 200, 0, 0}}));
    ASSERT_EQ(d.error, 0);
    EXPECT_EQ(d.At(0, 0), RampAt(1));
    EXPECT_EQ(d.At(1, 0), (Rgb{0, 0, 0}));
}

TEST_F(BmpFiles, EightBitReaderDepthsAndPalette) {
    // 4 bits uncompressed is read; the palette gets the table's colours and
    // keeps its other entries and every reserved byte.
    const std::string path = Put(BuildBmp(
        {.width = 1, .bits = 4, .palette = Ramp(3), .coloursUsed = 3, .data = {0x20, 0, 0, 0}}));
    Decoded d;
    for (auto& e : d.palette) e = {1, 2, 3, 4};
    HGLOBAL block = PixReadBMP8(path.c_str(), &d.width, &d.height, d.palette.data());
    EXPECT_EQ(PixGetLastError(), 0);
    EXPECT_EQ(TakeBlock(block), Bytes{2});
    EXPECT_EQ(d.palette[2].rgbRed, 20);
    EXPECT_EQ(d.palette[2].rgbGreen, 40);
    EXPECT_EQ(d.palette[2].rgbBlue, 60);
    EXPECT_EQ(d.palette[2].rgbReserved, 4);
    EXPECT_EQ(d.palette[3].rgbBlue, 1);

    // Compression, depth above 8 and unsupported depths.
    EXPECT_EQ(Read8(Put(BuildBmp({.width = 2,
                                  .bits = 8,
                                  .compression = 1,
                                  .palette = Ramp(2),
                                  .data = {2, 1, 0, 1}})))
                  .error,
              kPixErrBmpRle);
    EXPECT_EQ(Read8(Put(BuildBmp({.width = 1, .bits = 24, .data = {0, 0, 0, 0}}))).error,
              kPixErrDepth);
    EXPECT_EQ(
        Read8(Put(BuildBmp({.width = 1, .bits = 3, .palette = Ramp(8), .data = {0, 0, 0, 0}})))
            .error,
        kPixErrBmp);
    const Decoded np = [&] {
        Decoded r;
        EXPECT_EQ(PixReadBMP8(path.c_str(), &r.width, &r.height, nullptr), nullptr);
        r.error = PixGetLastError();
        return r;
    }();
    EXPECT_EQ(np.error, kPixErrParam);
}

// ---------------------------------------------------------------- run-length

struct RleCase {
    const char* name;
    uint16_t bits;
    int32_t width, height;
    Bytes data;
    int want;                 // result code
    std::vector<int> pixels;  // palette index per pixel, top row first; -1 black
};

const RleCase kRleCases[] = {
    {"EightByTwoExample",
     8,
     8,
     2,
     {3, 4, 5, 6, 0, 0, 0, 1},
     0,
     {-1, -1, -1, -1, -1, -1, -1, -1, 4, 4, 4, 6, 6, 6, 6, 6}},
    {"EndOfLineAndDelta", 8, 3, 2, {1, 1, 0, 0, 0, 2, 2, 0, 1, 2, 0, 1}, 0, {-1, -1, 2, 1, -1, -1}},
    {"DeltaDownIsUp", 8, 2, 2, {0, 2, 1, 1, 1, 3, 0, 1}, 0, {-1, 3, -1, -1}},
    // Absolute runs: 3 pixels in 2 bytes plus a pad, then an encoded run of 2 alternating nibbles.
    {"FourBitAbsoluteOddRun", 4, 5, 1, {0, 3, 0x12, 0x30, 2, 0x45, 0, 1}, 0, {1, 2, 3, 4, 5}},
    {"EightBitAbsoluteOddRun", 8, 4, 1, {0, 3, 7, 8, 9, 0, 1, 2, 0, 1}, 0, {7, 8, 9, 2}},
    {"RunPastRowEndDropped", 8, 3, 1, {5, 7, 0, 1}, 0, {7, 7, 7}},
    {"EndOfLineOnTopRowThenEnd", 8, 2, 1, {2, 1, 0, 0, 0, 1}, 0, {1, 1}},
    {"DroppedPixelAboveTopIsFine", 8, 2, 1, {0, 0, 0, 2, 5, 0, 2, 1, 0, 1}, 0, {-1, -1}},
    {"EndOfLineOnTopRowThenPixel", 8, 2, 1, {0, 0, 1, 1, 0, 1}, kPixErrBmp, {}},
    {"DeltaAboveTopThenPixel", 8, 2, 1, {0, 2, 0, 1, 1, 1, 0, 1}, kPixErrBmp, {}},
    {"NoEndOfBitmap", 8, 2, 1, {2, 1}, kPixErrRead, {}},
    {"TopDownRefused", 8, 2, -1, {2, 1, 0, 1}, kPixErrMemory, {}},
    {"AreaOverLimit", 8, 1 << 16, (1 << 14) + 1, {0, 1}, kPixErrMemory, {}},
    {"FourBitTopDownRefused", 4, 2, -1, {2, 0x11, 0, 1}, kPixErrMemory, {}},
};

class RleDecodes : public BmpFiles, public ::testing::WithParamInterface<RleCase> {};

TEST_P(RleDecodes, AsTheRunsSay) {
    const RleCase& c = GetParam();
    const Decoded d = Decode(BuildBmp({.width = c.width,
                                       .height = c.height,
                                       .bits = c.bits,
                                       .compression = c.bits == 8 ? 1u : 2u,
                                       .palette = Ramp(size_t{1} << c.bits),
                                       .data = c.data}));
    ASSERT_EQ(d.error, c.want);
    if (c.want != 0) {
        EXPECT_FALSE(d.hasImage);
        EXPECT_EQ(d.width, 0u);
        return;
    }
    ASSERT_EQ(d.pixels.size(), c.pixels.size() * 3);
    for (size_t i = 0; i < c.pixels.size(); ++i) {
        const Rgb want = c.pixels[i] < 0 ? Rgb{0, 0, 0} : RampAt(static_cast<size_t>(c.pixels[i]));
        EXPECT_EQ(d.At(static_cast<uint32_t>(i % d.width), static_cast<uint32_t>(i / d.width)),
                  want)
            << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, RleDecodes, ::testing::ValuesIn(kRleCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- hostile headers

struct BadHeader {
    const char* name;
    void (*patch)(Bytes&);
    int want;   // 0 with no image: "not a valid image"
    int want8;  // the 8-bit reader's code
};

// A valid 4 x 2, 8-bit file with 4 colours: 54 + 16 + 8 bytes.
Bytes SmallFile() {
    return BuildBmp({.width = 4,
                     .height = 2,
                     .bits = 8,
                     .palette = Ramp(4),
                     .coloursUsed = 4,
                     .data = {0, 1, 2, 3, 3, 2, 1, 0}});
}

const BadHeader kBadHeaders[] = {
    {"Signature", [](Bytes& b) { b[1] = 'A'; }, kPixErrBmp, kPixErrBmp},
    {"HeaderSize66", [](Bytes& b) { PutLE32(&b[14], 66); }, kPixErrBmp, kPixErrBmp},
    {"HeaderSize0", [](Bytes& b) { PutLE32(&b[14], 0); }, kPixErrBmp, kPixErrBmp},
    {"HeaderSizeHuge", [](Bytes& b) { PutLE32(&b[14], 0xFFFFFFFF); }, kPixErrBmp, kPixErrBmp},
    {"CutInFileHeader", [](Bytes& b) { b.resize(10); }, kPixErrRead, kPixErrRead},
    {"CutInInfoHeader", [](Bytes& b) { b.resize(40); }, kPixErrRead, kPixErrRead},
    {"CutInColourTable", [](Bytes& b) { b.resize(60); }, kPixErrRead, kPixErrRead},
    {"CutInPixels", [](Bytes& b) { b.pop_back(); }, kPixErrRead, kPixErrRead},
    {"WidthZero", [](Bytes& b) { PutLE32(&b[18], 0); }, 0, 0},
    {"WidthNegative", [](Bytes& b) { PutLE32(&b[18], static_cast<uint32_t>(-4)); }, 0, 0},
    {"HeightIntMin", [](Bytes& b) { PutLE32(&b[22], 0x80000000u); }, kPixErrBmp, kPixErrBmp},
    {"BitCount30000", [](Bytes& b) { PutLE16(&b[28], 30000); }, kPixErrBmp, kPixErrDepth},
    {"BitCount3", [](Bytes& b) { PutLE16(&b[28], 3); }, kPixErrBmp, kPixErrBmp},
    {"BitCount0", [](Bytes& b) { PutLE16(&b[28], 0); }, kPixErrBmp, kPixErrBmp},
    {"CompressionJpeg", [](Bytes& b) { PutLE32(&b[30], 4); }, kPixErrBmp, kPixErrBmpRle},
    {"BitFieldsAt8Bits", [](Bytes& b) { PutLE32(&b[30], 3); }, kPixErrBmp, kPixErrBmpRle},
    {"RleOfTheWrongDepth", [](Bytes& b) { PutLE32(&b[30], 2); }, kPixErrBmp, kPixErrBmpRle},
    {"OffsetPastEnd", [](Bytes& b) { PutLE32(&b[10], 0xFFFFFFF0u); }, kPixErrRead, kPixErrRead},
    {"ColoursUsedHuge", [](Bytes& b) { PutLE32(&b[46], 0xFFFFFFFFu); }, kPixErrRead,
     kPixErrRead},  // 256 entries > file
    {"AreaOverLimit",
     [](Bytes& b) {
         PutLE32(&b[18], 1u << 16);
         PutLE32(&b[22], (1u << 14) + 1);
     },
     kPixErrMemory, kPixErrMemory},
    {"SidesHuge",
     [](Bytes& b) {
         PutLE32(&b[18], 0x7FFFFFFF);
         PutLE32(&b[22], 0x80000001u);
     },
     kPixErrMemory, kPixErrMemory},
    // Exactly at the limit: allowed, then refused because the file cannot hold the rows.
    {"AreaAtLimitButShortFile",
     [](Bytes& b) {
         PutLE32(&b[18], 1u << 16);
         PutLE32(&b[22], 1u << 14);
     },
     kPixErrRead, kPixErrRead},
};

class HostileHeader : public BmpFiles, public ::testing::WithParamInterface<BadHeader> {};

TEST_P(HostileHeader, IsRefusedWithItsCode) {
    Bytes file = SmallFile();
    ASSERT_EQ(Decode(file).error, 0);
    GetParam().patch(file);
    const Decoded d = Decode(file);
    EXPECT_EQ(d.error, GetParam().want);
    EXPECT_FALSE(d.hasImage);
    EXPECT_EQ(d.width, 0u);
    EXPECT_EQ(d.height, 0u);
    const Decoded d8 = Read8(Put(file));
    EXPECT_EQ(d8.error, GetParam().want8);
    EXPECT_FALSE(d8.hasImage);
    EXPECT_EQ(d8.width, 0u);
}

INSTANTIATE_TEST_SUITE_P(Patched, HostileHeader, ::testing::ValuesIn(kBadHeaders),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- size query

TEST_F(BmpFiles, SizeQueryReadsTheHeadersOnly) {
    Bytes file = SmallFile();
    PutLE32(&file[22], static_cast<uint32_t>(-2));
    file.resize(54);  // no colour table or pixels needed
    uint32_t w = 9, h = 9;
    EXPECT_TRUE(PixGetBMPSize(Put(file).c_str(), &w, &h));
    EXPECT_EQ(PixGetLastError(), 0);
    EXPECT_EQ(w, 4u);
    EXPECT_EQ(h, 2u);

    struct Case {
        Bytes file;
        int want;
    };
    Bytes badSignature = file, cut = file, badSize = file, intMin = file;
    badSignature[0] = 'P';
    cut.resize(53);
    PutLE32(&badSize[14], 41);
    PutLE32(&intMin[22], 0x80000000u);
    for (const Case& c : {Case{badSignature, kPixErrBmp}, Case{cut, kPixErrRead},
                          Case{badSize, kPixErrBmp}, Case{intMin, kPixErrBmp}}) {
        w = h = 9;
        EXPECT_FALSE(PixGetBMPSize(Put(c.file).c_str(), &w, &h));
        EXPECT_EQ(PixGetLastError(), c.want);
        EXPECT_EQ(w + h, 0u);
    }
    EXPECT_FALSE(PixGetBMPSize(dir_.File("missing.bmp").c_str(), &w, &h));
    EXPECT_EQ(PixGetLastError(), kPixErrOpen);
}

TEST_F(BmpFiles, BitFieldMasksBelongToThe24BitReaderOnly) {
    // 16-bit bit-field file cut right after its 40-byte header: the masks are missing.
    Bytes file = BuildBmp({.width = 2, .height = 2, .bits = 16, .compression = 3});
    ASSERT_EQ(file.size(), 54u);
    uint32_t w = 0, h = 0;
    EXPECT_TRUE(PixGetBMPSize(Put(file).c_str(), &w, &h));
    EXPECT_EQ(w, 2u);
    EXPECT_EQ(Read8(Put(file)).error, kPixErrDepth);
    EXPECT_EQ(Decode(file).error, kPixErrRead);
    PutLE32(&file[18], 0);  // width 0 is "not a valid image" before anything else is read
    const Decoded d = Decode(file);
    EXPECT_EQ(d.error, 0);
    EXPECT_FALSE(d.hasImage);
}

TEST_F(BmpFiles, MissingFileAndNullPointers) {
    const std::string missing = dir_.File("missing.bmp");
    EXPECT_EQ(Read24(missing).error, kPixErrOpen);
    EXPECT_EQ(Read8(missing).error, kPixErrOpen);
    uint32_t w = 0;
    EXPECT_EQ(PixReadBMP(Put(SmallFile()).c_str(), &w, nullptr), nullptr);
    EXPECT_EQ(PixGetLastError(), kPixErrParam);
    // A success after a failure clears the code.
    EXPECT_EQ(Read24(Put(SmallFile())).error, 0);
}

// ---------------------------------------------------------------- writing

// Index buffer with every value below 2^bits, in a pattern that shows shifted rows.
Bytes IndexPattern(uint32_t width, uint32_t height, int bits) {
    Bytes b(size_t{width} * height);
    for (size_t i = 0; i < b.size(); ++i)
        b[i] = static_cast<uint8_t>((i * 7 + i / width) % (1u << bits));
    return b;
}

std::array<RGBQUAD, 256> QuadRamp() {
    std::array<RGBQUAD, 256> p{};
    for (int i = 0; i < 256; ++i) p[i] = {uint8_t(i), uint8_t(255 - i), uint8_t(i * 3), 0xEE};
    return p;
}

TEST_F(BmpFiles, RoundTripEveryWrittenDepth) {
    for (uint32_t width : {1u, 3u, 7u, 13u, 33u}) {
        const uint32_t height = 5;
        const Bytes rgb = MakePhoto(width, height, width);
        const std::string path = dir_.File("rgb.bmp");
        ASSERT_TRUE(PixWriteBMP(path.c_str(), rgb.data(), width, height));
        const Decoded d = Read24(path);
        ASSERT_EQ(d.error, 0);
        EXPECT_EQ(d.width, width);
        EXPECT_EQ(d.height, height);
        EXPECT_EQ(d.pixels, rgb) << width;

        const auto palette = QuadRamp();
        for (int bits : {1, 4, 8}) {
            const Bytes indices = IndexPattern(width, height, bits);
            const int colours = 1 << bits;
            const std::string ipath = dir_.File("idx.bmp");
            ASSERT_TRUE(PixWriteBMP8(ipath.c_str(), indices.data(), width, height, bits, colours,
                                     palette.data()));
            EXPECT_EQ(PixGetLastError(), 0);
            const Decoded e = Read8(ipath);
            ASSERT_EQ(e.error, 0);
            EXPECT_EQ(e.pixels, indices) << "width " << width << " bits " << bits;
            for (int i = 0; i < colours; ++i) {
                EXPECT_EQ(e.palette[i].rgbRed, palette[i].rgbRed);
                EXPECT_EQ(e.palette[i].rgbBlue, palette[i].rgbBlue);
                EXPECT_EQ(e.palette[i].rgbReserved, 0);  // left as the caller had it
            }
            // The 24-bit reader shows the same picture through the table.
            const Decoded f = Read24(ipath);
            ASSERT_EQ(f.error, 0);
            const size_t last = indices.size() - 1;
            EXPECT_EQ(f.At(width - 1, height - 1),
                      (Rgb{palette[indices[last]].rgbRed, palette[indices[last]].rgbGreen,
                           palette[indices[last]].rgbBlue}));
        }
    }
}

TEST_F(BmpFiles, WrittenBytesAreExact) {
    // 2 x 2 at 24 bits: rows of 6 data bytes and 2 pads, bottom row first.
    const Bytes rgb = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    const std::string path = dir_.File("exact.bmp");
    ASSERT_TRUE(PixWriteBMP(path.c_str(), rgb.data(), 2, 2));
    // clang-format off
    const Bytes want = {
        'B', 'M', 70, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0,  // file size 70, data at 54
        40, 0, 0, 0, 2, 0, 0, 0, 2, 0, 0, 0,             // header size, width, height
        1, 0, 24, 0, 0, 0, 0, 0, 16, 0, 0, 0,            // planes, bits, compression, image size
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // resolutions, colours, important
        9, 8, 7, 12, 11, 10, 0, 0,                       // bottom row, blue green red
        3, 2, 1, 6, 5, 4, 0, 0,                          // top row
    };
    // clang-format on
    EXPECT_EQ(ReadFileBytes(path), want);

    // Width 1 at 24 bits: 3 data bytes and 1 pad per row.
    ASSERT_TRUE(PixWriteBMP(path.c_str(), rgb.data(), 1, 3));
    EXPECT_EQ(ReadFileBytes(path).size(), 54u + 4 * 3);

    // 8 bits, 256 colours: the pixels start at 1078; colours used and important 256.
    const auto palette = QuadRamp();
    const Bytes indices = {5, 6, 7};
    ASSERT_TRUE(PixWriteBMP8(path.c_str(), indices.data(), 3, 1, 8, 256, palette.data()));
    Bytes file = ReadFileBytes(path);
    ASSERT_EQ(file.size(), 1078u + 4);
    EXPECT_EQ(GetLE32(&file[2]), 1082u);
    EXPECT_EQ(GetLE32(&file[10]), 1078u);
    EXPECT_EQ(GetLE16(&file[28]), 8);
    EXPECT_EQ(GetLE32(&file[34]), 4u);
    EXPECT_EQ(GetLE32(&file[46]), 256u);
    EXPECT_EQ(GetLE32(&file[50]), 256u);
    EXPECT_EQ(Bytes(file.begin() + 54 + 4 * 200, file.begin() + 58 + 4 * 200),
              (Bytes{200, 55, 88, 0}));
    EXPECT_EQ(Bytes(file.begin() + 1078, file.end()), (Bytes{5, 6, 7, 0}));

    // 1 and 4 bits pack from the most significant bits, a partial byte low bits zero.
    const Bytes ones = {1, 0, 1, 1, 1, 1, 1, 1, 1, 0, 1};
    ASSERT_TRUE(PixWriteBMP8(path.c_str(), ones.data(), 11, 1, 1, 2, palette.data()));
    file = ReadFileBytes(path);
    ASSERT_EQ(file.size(), 62u + 4);
    EXPECT_EQ(Bytes(file.begin() + 62, file.end()), (Bytes{0xBF, 0xA0, 0, 0}));
    const Bytes nibbles = {0xA, 0x3, 0xF};
    ASSERT_TRUE(PixWriteBMP8(path.c_str(), nibbles.data(), 3, 1, 4, 16, palette.data()));
    file = ReadFileBytes(path);
    EXPECT_EQ(Bytes(file.begin() + 118, file.end()), (Bytes{0xA3, 0xF0, 0, 0}));

    // Indices too wide for the depth lose their high bits; the neighbours stay intact.
    const Bytes wide1 = {3, 0, 2, 1};
    ASSERT_TRUE(PixWriteBMP8(path.c_str(), wide1.data(), 4, 1, 1, 2, palette.data()));
    file = ReadFileBytes(path);
    EXPECT_EQ(Bytes(file.begin() + 62, file.end()), (Bytes{0x90, 0, 0, 0}));
    const Bytes wide4 = {0x12, 0x34};
    ASSERT_TRUE(PixWriteBMP8(path.c_str(), wide4.data(), 2, 1, 4, 16, palette.data()));
    file = ReadFileBytes(path);
    EXPECT_EQ(Bytes(file.begin() + 118, file.end()), (Bytes{0x24, 0, 0, 0}));
}

TEST_F(BmpFiles, WriterRefusesBadParametersWithoutTouchingTheFile) {
    const auto palette = QuadRamp();
    const Bytes pixels(64, 1);
    const std::string path = dir_.File("keep.bmp");
    WriteFileBytes(path, {'k', 'e', 'e', 'p'});
    struct Case {
        const char* name;
        BOOL (*write)(const char*, const uint8_t*, const RGBQUAD*);
    };
    const Case cases[] = {
        {"NullPixels", [](const char* p, const uint8_t*,
                          const RGBQUAD*) { return PixWriteBMP(p, nullptr, 2, 2); }},
        {"NullPixels8", [](const char* p, const uint8_t*,
                           const RGBQUAD* q) { return PixWriteBMP8(p, nullptr, 2, 2, 8, 256, q); }},
        {"NullPalette", [](const char* p, const uint8_t* x,
                           const RGBQUAD*) { return PixWriteBMP8(p, x, 2, 2, 8, 256, nullptr); }},
        {"Bits2", [](const char* p, const uint8_t* x,
                     const RGBQUAD* q) { return PixWriteBMP8(p, x, 2, 2, 2, 4, q); }},
        {"Bits24", [](const char* p, const uint8_t* x,
                      const RGBQUAD* q) { return PixWriteBMP8(p, x, 2, 2, 24, 0, q); }},
        {"Colours257", [](const char* p, const uint8_t* x,
                          const RGBQUAD* q) { return PixWriteBMP8(p, x, 2, 2, 8, 257, q); }},
        {"Colours17At4Bits", [](const char* p, const uint8_t* x,
                                const RGBQUAD* q) { return PixWriteBMP8(p, x, 2, 2, 4, 17, q); }},
        {"Colours3At1Bit", [](const char* p, const uint8_t* x,
                              const RGBQUAD* q) { return PixWriteBMP8(p, x, 2, 2, 1, 3, q); }},
        {"ColoursNegative", [](const char* p, const uint8_t* x,
                               const RGBQUAD* q) { return PixWriteBMP8(p, x, 2, 2, 8, -1, q); }},
        {"FileOver4GiB", [](const char* p, const uint8_t* x,
                            const RGBQUAD*) { return PixWriteBMP(p, x, 40000, 40000); }},
    };
    for (const Case& c : cases) {
        PixSetLastError(-1);
        EXPECT_FALSE(c.write(path.c_str(), pixels.data(), palette.data())) << c.name;
        EXPECT_EQ(PixGetLastError(), kPixErrParam) << c.name;
        EXPECT_EQ(ReadFileBytes(path), (Bytes{'k', 'e', 'e', 'p'})) << c.name;
    }
}

TEST_F(BmpFiles, WriterReportsOpenAndWriteFailures) {
    const Bytes rgb = MakePhoto(4, 4);
    EXPECT_FALSE(PixWriteBMP(dir_.File("no/such/dir.bmp").c_str(), rgb.data(), 4, 4));
    EXPECT_EQ(PixGetLastError(), kPixErrOpen);
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    // Small and large: a small file fails only when the stream is flushed at close.
    EXPECT_FALSE(PixWriteBMP("/dev/full", rgb.data(), 4, 4));
    EXPECT_EQ(PixGetLastError(), kPixErrWrite);
    const Bytes big = MakePhoto(700, 700);
    EXPECT_FALSE(PixWriteBMP("/dev/full", big.data(), 700, 700));
    EXPECT_EQ(PixGetLastError(), kPixErrWrite);
    const auto palette = QuadRamp();
    EXPECT_FALSE(PixWriteBMP8("/dev/full", rgb.data(), 4, 4, 8, 256, palette.data()));
    EXPECT_EQ(PixGetLastError(), kPixErrWrite);
}

// ---------------------------------------------------------------- conformance corpus

// The code a manifest note gives first ("refused (code 6)", "code 3"), or -1.
int NotedCode(const std::string& notes) {
    std::smatch m;
    static const std::regex kCode("code ([0-9]+)");
    return std::regex_search(notes, m, kCode) ? std::stoi(m[1]) : -1;
}

class Corpus : public ::testing::TestWithParam<CorpusRow> {};

TEST_P(Corpus, BehavesAsListed) {
    const CorpusRow& row = GetParam();
    const std::string path = CorpusDir() + "/" + row.path;
    const Decoded d = Read24(path);
    const Decoded d8 = Read8(path);  // every file goes through both readers, whatever the row says
    if (row.expect == "fail") {
        EXPECT_FALSE(d.hasImage);
        EXPECT_EQ(d.width + d.height, 0u);
        if (NotedCode(row.notes) >= 0) {
            EXPECT_EQ(d.error, NotedCode(row.notes)) << row.notes;
        }
        return;
    }
    if (row.expect != "ok") return;  // "either": only must not crash
    ASSERT_EQ(d.error, 0) << row.notes;
    ASSERT_TRUE(d.hasImage);
    uint32_t w = 0, h = 0;
    EXPECT_TRUE(PixGetBMPSize(path.c_str(), &w, &h));
    EXPECT_EQ(w, d.width);
    EXPECT_EQ(h, d.height);
    if (!row.reference.empty()) {
        EXPECT_TRUE(MatchesReference(row, d.width, d.height, d.pixels));
    }
    const std::string idxPath = path + ".ref.idx";
    if (std::filesystem::exists(idxPath)) {
        ASSERT_EQ(d8.error, 0) << row.notes;
        EXPECT_TRUE(d8.pixels == ReadFileBytes(idxPath)) << "indices differ";
        const Bytes pal = ReadFileBytes(path + ".ref.pal");
        ASSERT_EQ(pal.size(), 768u);
        for (size_t i = 0; i < 256; ++i) {
            const RGBQUAD& q = d8.palette[i];
            EXPECT_EQ((Rgb{q.rgbRed, q.rgbGreen, q.rgbBlue}),
                      (Rgb{pal[3 * i], pal[3 * i + 1], pal[3 * i + 2]}))
                << "palette entry " << i;
        }
    } else if (row.notes.find("8-bit reader refuses") != std::string::npos) {
        EXPECT_EQ(d8.error, NotedCode(row.notes.substr(row.notes.find("8-bit reader refuses"))));
    }
}

INSTANTIATE_TEST_SUITE_P(Bmp, Corpus, ::testing::ValuesIn(CorpusRows("bmp")),
                         [](const auto& info) { return CorpusTestName(info.param); });

}  // namespace
