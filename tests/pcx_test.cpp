// SPDX-License-Identifier: GPL-3.0-or-later
#include "imagelib/pcx.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>

#include "imagelib/common.h"
#include "tests/test_util.h"

namespace {

// A PCX file put together field by field; `data` is already run-length coded.
struct PcxFile {
    uint8_t version = 5;
    uint8_t bits = 8;
    uint8_t planes = 1;
    uint16_t width = 1;
    uint16_t height = 1;
    uint16_t bytesPerLine = 2;
    std::array<uint8_t, 48> headerPalette{};
    Bytes data;
    Bytes tail;  // appended after the data: the 256-colour palette, if any

    Bytes Build() const {
        Bytes b(128, 0);
        b[0] = 10;
        b[1] = version;
        b[2] = 1;
        b[3] = bits;
        PutLE16(&b[8], static_cast<uint16_t>(width - 1));
        PutLE16(&b[10], static_cast<uint16_t>(height - 1));
        std::memcpy(&b[16], headerPalette.data(), 48);
        b[65] = planes;
        PutLE16(&b[66], bytesPerLine);
        b.resize(128 + data.size() + tail.size());
        std::copy(data.begin(), data.end(), b.begin() + 128);
        std::copy(tail.begin(), tail.end(), b.begin() + 128 + static_cast<long>(data.size()));
        return b;
    }
};

Bytes PaletteTail(uint8_t marker, const std::function<uint8_t(int)>& byteAt) {
    Bytes tail{marker};
    for (int i = 0; i < 768; ++i) tail.push_back(byteAt(i));
    return tail;
}

struct Rgb {
    uint8_t r, g, b;
    bool operator==(const Rgb&) const = default;
};
Rgb Entry(const RGBQUAD& q) {
    return {q.rgbRed, q.rgbGreen, q.rgbBlue};
}

struct Read8 {
    HGLOBAL block = nullptr;
    uint32_t width = 0, height = 0;
    std::array<RGBQUAD, 256> palette{};
    Bytes indices;
};
Read8 ReadIndexed(const std::string& path) {
    Read8 r;
    r.palette.fill({7, 7, 7, 7});  // so entries the reader fails to zero show
    r.block = PixReadPCX8(path.c_str(), &r.width, &r.height, r.palette.data());
    if (r.block != nullptr) r.indices = TakeBlock(r.block);
    return r;
}

Bytes ReadRgb(const std::string& path, uint32_t* width, uint32_t* height) {
    HGLOBAL block = PixReadPCX(path.c_str(), width, height);
    return block == nullptr ? Bytes{} : TakeBlock(block);
}

// ---------------------------------------------------------------- writer bytes

struct RunCase {
    const char* name;
    Bytes row;      // one 8-bit row, written with PixWritePCX8
    Bytes encoded;  // the scan line as it must appear, pad byte included
};
const RunCase kRunCases[] = {
    {"SixtyFourEqual", Bytes(64, 7), {255, 7, 7}},
    {"SixtyFourEqualHigh", Bytes(64, 200), {255, 200, 193, 200}},
    {"SingleHighByte", {200}, {193, 200, 0}},
    {"SingleLowByte", {100}, {100, 0}},
    {"ThreeThenHigh", {5, 5, 5, 200}, {195, 5, 193, 200}},
    {"FullRunThenOther",
     [] {
         Bytes b(63, 1);
         b.push_back(2);
         return b;
     }(),
     {255, 1, 2}},
    {"OddWidthPadJoinsRun", {0, 0, 0}, {196, 0}},
};

class PcxRuns : public ::testing::TestWithParam<RunCase> {};

TEST_P(PcxRuns, EncodeAsSpecified) {
    const RunCase& c = GetParam();
    TempDir dir;
    const std::string path = dir.File("run.pcx");
    std::array<RGBQUAD, 256> palette{};
    ASSERT_TRUE(PixWritePCX8(path.c_str(), c.row.data(), static_cast<uint32_t>(c.row.size()), 1,
                             palette.data()));
    const Bytes file = ReadFileBytes(path);
    ASSERT_EQ(file.size(), 128 + c.encoded.size() + 769);
    EXPECT_EQ(Bytes(file.begin() + 128, file.end() - 769), c.encoded);

    Read8 back = ReadIndexed(path);
    EXPECT_EQ(back.indices, c.row);
}

INSTANTIATE_TEST_SUITE_P(Encoder, PcxRuns, ::testing::ValuesIn(kRunCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PcxWriter, TwentyFourBitFileBytes) {
    TempDir dir;
    const std::string path = dir.File("rgb.pcx");
    // 3 x 1: red plane 10 20 30, green 200 200 200, blue 0 0 0.
    const uint8_t pixels[] = {10, 200, 0, 20, 200, 0, 30, 200, 0};
    ASSERT_TRUE(PixWritePCX(path.c_str(), pixels, 3, 1));
    EXPECT_EQ(PixGetLastError(), 0);

    Bytes want(128, 0);
    want[0] = 10;            // manufacturer
    want[1] = 5;             // version
    want[2] = 1;             // run-length encoding
    want[3] = 8;             // bits per pixel per plane
    PutLE16(&want[8], 2);    // xmax = width - 1
    PutLE16(&want[12], 96);  // horizontal resolution
    PutLE16(&want[14], 96);  // vertical resolution
    want[65] = 3;            // planes
    PutLE16(&want[66], 4);   // bytes per line, width rounded up to even
    PutLE16(&want[68], 1);   // palette info
    const Bytes line = {10, 20, 30, 0, 195, 200, 0, 196, 0};
    want.insert(want.end(), line.begin(), line.end());
    EXPECT_EQ(ReadFileBytes(path), want);  // no trailing palette
}

TEST(PcxWriter, EightBitFileEndsWithPalette) {
    TempDir dir;
    const std::string path = dir.File("p8.pcx");
    std::array<RGBQUAD, 256> palette;
    for (int i = 0; i < 256; ++i) {
        palette[i] = {static_cast<uint8_t>(i), static_cast<uint8_t>(255 - i),
                      static_cast<uint8_t>(i ^ 0x55), 0xEE};
    }
    const uint8_t pixels[] = {1, 2, 3, 4, 5, 6};  // 3 x 2
    ASSERT_TRUE(PixWritePCX8(path.c_str(), pixels, 3, 2, palette.data()));

    const Bytes file = ReadFileBytes(path);
    ASSERT_EQ(file.size(), 128u + 2 * 4 + 769);
    EXPECT_EQ(file[65], 1);
    EXPECT_EQ(GetLE16(&file[66]), 4);
    EXPECT_EQ(GetLE16(&file[10]), 1);
    EXPECT_EQ(Bytes(file.begin() + 128, file.begin() + 136), (Bytes{1, 2, 3, 0, 4, 5, 6, 0}));
    const uint8_t* tail = &file[file.size() - 769];
    EXPECT_EQ(tail[0], 12);
    for (int i = 0; i < 256; ++i) {
        ASSERT_EQ((Rgb{tail[1 + 3 * i], tail[2 + 3 * i], tail[3 + 3 * i]}), Entry(palette[i]))
            << "entry " << i;
    }
}

// Run-length coding as the format defines it, one stretch of equal bytes at
// a time, to hold the writer's window-wise coder against.
Bytes PlainEncode(const Bytes& bytes) {
    Bytes out;
    for (size_t i = 0; i < bytes.size();) {
        const uint8_t value = bytes[i];
        size_t run = 1;
        while (i + run < bytes.size() && bytes[i + run] == value) ++run;
        i += run;
        for (; run >= 63; run -= 63) out.insert(out.end(), {255, value});
        if (run == 1 && value < 192) {
            out.push_back(value);
        } else if (run != 0) {
            out.insert(out.end(), {static_cast<uint8_t>(192 + run), value});
        }
    }
    return out;
}

// Stretches of equal bytes, mostly short, some longer than a run or a
// 64-byte window, with values on both sides of the marker range.
Bytes RandomStretches(std::mt19937& random, size_t count) {
    Bytes out;
    while (out.size() < count) {
        const unsigned pick = random() % 16;
        const size_t run = pick < 10   ? 1
                           : pick < 13 ? 2 + random() % 3
                           : pick < 15 ? 5 + random() % 60
                                       : 60 + random() % 140;
        const uint8_t value =
            static_cast<uint8_t>(random() % 2 != 0 ? 0xC0 + random() % 64 : random() % 0xC0);
        out.insert(out.end(), run, value);
    }
    out.resize(count);
    return out;
}

TEST(PcxWriter, CodesAsByteByByte) {
    TempDir dir;
    const std::string path = dir.File("coded.pcx");
    const std::array<RGBQUAD, 256> palette{};
    std::mt19937 random(99);
    for (int round = 0; round < 80; ++round) {
        const bool rgb = round % 2 != 0;
        const uint32_t width = 1 + random() % 400;
        const uint32_t height = 1 + random() % 3;
        Bytes pixels, want;
        for (uint32_t y = 0; y < height; ++y) {
            Bytes planes[3];
            for (Bytes& plane : planes) plane = RandomStretches(random, width);
            for (uint32_t x = 0; x < width; ++x) {
                pixels.push_back(planes[0][x]);
                if (rgb) pixels.insert(pixels.end(), {planes[1][x], planes[2][x]});
            }
            for (int p = 0; p < (rgb ? 3 : 1); ++p) {
                if (width % 2 != 0) planes[p].push_back(0);  // the pad byte
                const Bytes coded = PlainEncode(planes[p]);
                want.insert(want.end(), coded.begin(), coded.end());
            }
        }
        ASSERT_TRUE(rgb ? PixWritePCX(path.c_str(), pixels.data(), width, height)
                        : PixWritePCX8(path.c_str(), pixels.data(), width, height, palette.data()));
        const Bytes file = ReadFileBytes(path);
        const size_t tail = rgb ? 0 : 769;
        ASSERT_EQ(file.size(), 128 + want.size() + tail) << "round " << round;
        ASSERT_TRUE(Bytes(file.begin() + 128, file.end() - static_cast<ptrdiff_t>(tail)) == want)
            << "round " << round << ", width " << width;
    }
}

// ---------------------------------------------------------------- round trips

TEST(PcxRoundTrip, TwentyFourBitOddWidth) {
    TempDir dir;
    const std::string path = dir.File("photo.pcx");
    for (uint32_t width : {1u, 37u, 130u, 1001u}) {
        const Bytes photo = MakePhoto(width, 9, width);
        ASSERT_TRUE(PixWritePCX(path.c_str(), photo.data(), width, 9));
        uint32_t w = 0, h = 0;
        EXPECT_EQ(ReadRgb(path, &w, &h), photo) << width;
        EXPECT_EQ(PixGetLastError(), 0);
        EXPECT_EQ(w, width);
        EXPECT_EQ(h, 9u);
        uint32_t sw = 0, sh = 0;
        EXPECT_TRUE(PixGetPCXSize(path.c_str(), &sw, &sh));
        EXPECT_EQ(sw, width);
        EXPECT_EQ(sh, 9u);

        // A 24-bit file is not for the 8-bit reader; its outputs stay put.
        Read8 r = ReadIndexed(path);
        EXPECT_EQ(r.block, nullptr);
        EXPECT_EQ(PixGetLastError(), kPixErrDepth);
        EXPECT_EQ(r.width, 0u);
        EXPECT_EQ(r.palette[0].rgbRed, 7);
    }
}

// Indices in runs of 1 to 70 equal values, so that lines hold literals,
// single high bytes, short runs and runs longer than the coder's 63.
Bytes RunnyIndices(size_t count, uint32_t seed) {
    std::mt19937 random(seed);
    Bytes out;
    while (out.size() < count) {
        const size_t run = random() % 4 == 0 ? 1 + random() % 70 : 1 + random() % 3;
        out.insert(out.end(), run, static_cast<uint8_t>(random()));
    }
    out.resize(count);
    return out;
}

TEST(PcxRoundTrip, EightBitOddWidth) {
    TempDir dir;
    const std::string path = dir.File("indexed.pcx");
    std::array<RGBQUAD, 256> palette;
    for (int i = 0; i < 256; ++i) {
        palette[i] = {static_cast<uint8_t>(3 * i), static_cast<uint8_t>(i / 2),
                      static_cast<uint8_t>(255 - i), 0};
    }
    for (uint32_t width : {65u, 999u}) {
        const uint32_t height = 7;
        const Bytes indices = RunnyIndices(size_t{width} * height, width);
        ASSERT_TRUE(PixWritePCX8(path.c_str(), indices.data(), width, height, palette.data()));

        Read8 r = ReadIndexed(path);
        ASSERT_NE(r.block, nullptr);
        EXPECT_EQ(r.width, width);
        EXPECT_EQ(r.height, height);
        EXPECT_TRUE(r.indices == indices) << width;
        for (int i = 0; i < 256; ++i) EXPECT_EQ(Entry(r.palette[i]), Entry(palette[i])) << i;

        uint32_t w = 0, h = 0;
        const Bytes rgb = ReadRgb(path, &w, &h);
        ASSERT_EQ(rgb.size(), indices.size() * 3);
        for (size_t i = 0; i < indices.size(); ++i) {
            ASSERT_EQ((Rgb{rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2]}), Entry(palette[indices[i]]))
                << i;
        }
    }
}

// Byte-at-a-time decoding as the format defines it, to hold the reader's
// block-wise decoder against: false when the data ends inside a line.
bool PlainDecode(const Bytes& data, size_t lineBytes, size_t lines, Bytes* out) {
    size_t at = 0;
    for (size_t y = 0; y < lines; ++y) {
        Bytes line;
        while (line.size() < lineBytes) {
            if (at >= data.size()) return false;
            size_t count = 1;
            uint8_t value = data[at++];
            if (value >= 0xC0) {
                if (at >= data.size()) return false;
                count = value & 63;
                value = data[at++];
            }
            line.insert(line.end(), std::min(count, lineBytes - line.size()), value);
        }
        out->insert(out->end(), line.begin(), line.end());
    }
    return true;
}

TEST(PcxReader, ArbitraryDataDecodesAsByteByByte) {
    TempDir dir;
    const std::string path = dir.File("random.pcx");
    std::mt19937 random(2024);
    for (int round = 0; round < 200; ++round) {
        PcxFile f;
        f.version = 3;
        f.width = static_cast<uint16_t>(1 + random() % 700);
        f.height = static_cast<uint16_t>(1 + random() % 4);
        f.bytesPerLine = static_cast<uint16_t>(f.width + random() % 3);
        const size_t wanted = size_t{f.bytesPerLine} * f.height;
        const size_t length = random() % 3 == 0 ? random() % wanted : wanted + 64;
        const unsigned markerShare = random() % 8;  // out of 8
        // Half the rounds have mostly runs of 1 and 2, as grainy pictures do.
        const bool shortRuns = round % 2 == 0;
        while (f.data.size() < length) {
            const bool marker = random() % 8 < markerShare;
            uint8_t byte = static_cast<uint8_t>(marker ? 0xC0 | random() : random() % 0xC0);
            if (marker && shortRuns && random() % 16 != 0) byte = 0xC1 + random() % 2;
            f.data.push_back(byte);
        }
        WriteFileBytes(path, f.Build());

        Bytes lines;
        const bool complete = PlainDecode(f.data, f.bytesPerLine, f.height, &lines);
        Read8 r = ReadIndexed(path);
        ASSERT_EQ(PixGetLastError(), complete ? 0 : kPixErrPcx) << "round " << round;
        if (!complete) continue;
        Bytes want;
        for (size_t y = 0; y < f.height; ++y) {
            const auto row = lines.begin() + static_cast<ptrdiff_t>(y * f.bytesPerLine);
            want.insert(want.end(), row, row + f.width);
        }
        ASSERT_TRUE(r.indices == want) << "round " << round;
    }
}

// ---------------------------------------------------------------- reading

TEST(PcxReader, RunPastLineEndIsCutNotCarried) {
    TempDir dir;
    const std::string path = dir.File("cross.pcx");
    // Short lines take the byte-by-byte path; 100-byte lines the fast one.
    for (uint16_t width : {4, 100}) {
        PcxFile f;
        f.width = width;
        f.height = 2;
        f.bytesPerLine = width;
        f.version = 3;  // no 256-colour palette: grey ramp
        const int full = width / 63;
        for (int i = 0; i < full; ++i) f.data.insert(f.data.end(), {0xFF, 9});
        f.data.insert(f.data.end(), {0xC0 | 60, 9});  // crosses the end of line 0
        for (uint16_t x = 0; x < width; ++x) f.data.push_back(static_cast<uint8_t>(x % 150));
        WriteFileBytes(path, f.Build());

        Read8 r = ReadIndexed(path);
        ASSERT_NE(r.block, nullptr) << width << ": " << PixGetLastError();
        for (uint16_t x = 0; x < width; ++x) {
            ASSERT_EQ(r.indices[x], 9) << width << " line 0, x " << x;
            ASSERT_EQ(r.indices[width + x], x % 150) << width << " line 1, x " << x;
        }
    }
}

TEST(PcxReader, OneBitDecodesEveryPixelOfTheWidth) {
    TempDir dir;
    const std::string path = dir.File("one.pcx");
    PcxFile f;
    f.version = 2;
    f.bits = 1;
    f.width = 10;
    f.height = 2;
    f.bytesPerLine = 2;
    f.headerPalette[3 * 1 + 0] = 255;  // entry 1 red
    f.data = {0b10110011, 0b01000000, 0b01001100, 0b10000000};
    WriteFileBytes(path, f.Build());

    Read8 r = ReadIndexed(path);
    ASSERT_NE(r.block, nullptr);
    EXPECT_EQ(r.indices, (Bytes{1, 0, 1, 1, 0, 0, 1, 1, 0, 1,  //
                                0, 1, 0, 0, 1, 1, 0, 0, 1, 0}));
    uint32_t w = 0, h = 0;
    const Bytes rgb = ReadRgb(path, &w, &h);
    ASSERT_EQ(rgb.size(), 60u);
    EXPECT_EQ((Rgb{rgb[0], rgb[1], rgb[2]}), (Rgb{255, 0, 0}));
    EXPECT_EQ((Rgb{rgb[3], rgb[4], rgb[5]}), (Rgb{0, 0, 0}));
}

// Where each layout takes its colours from: palette entries as the 8-bit
// reader returns them.
struct PaletteCase {
    const char* name;
    PcxFile file;
    std::vector<std::pair<int, Rgb>> want;  // (entry, colour)
};

PcxFile EightBit(uint8_t version, Bytes tail) {
    PcxFile f;
    f.version = version;
    f.data = {0, 0};
    f.tail = std::move(tail);
    return f;
}
PcxFile LowDepth(uint8_t bits, uint8_t planes, std::array<uint8_t, 48> headerPalette) {
    PcxFile f;
    f.version = 5;
    f.bits = bits;
    f.planes = planes;
    f.bytesPerLine = 2;
    f.headerPalette = headerPalette;
    f.data = Bytes(2u * planes, 0);
    return f;
}
std::array<uint8_t, 48> Ramp48() {
    std::array<uint8_t, 48> p;
    for (int i = 0; i < 48; ++i) p[i] = static_cast<uint8_t>(100 + i);
    return p;
}
std::array<uint8_t, 48> BlackThenWhite(int blackEntries) {
    std::array<uint8_t, 48> p{};
    std::fill(p.begin() + 3 * blackEntries, p.end(), 255);
    return p;
}

const PaletteCase kPaletteCases[] = {
    {"Version5Marked",
     EightBit(5, PaletteTail(12, [](int i) { return uint8_t(i % 7); })),
     {{0, {0, 1, 2}}, {255, {2, 3, 4}}}},
    {"Version5Unmarked",
     EightBit(5, PaletteTail(11, [](int) { return uint8_t(77); })),
     {{0, {0, 0, 0}}, {100, {100, 100, 100}}, {255, {255, 255, 255}}}},
    {"Version3TailIgnored",
     EightBit(3, PaletteTail(12, [](int) { return uint8_t(77); })),
     {{1, {1, 1, 1}}, {200, {200, 200, 200}}}},
    {"FourBitHeader",
     LowDepth(4, 1, Ramp48()),
     {{0, {100, 101, 102}}, {15, {145, 146, 147}}, {16, {0, 0, 0}}, {255, {0, 0, 0}}}},
    {"TwoPlanesHeader", LowDepth(1, 2, Ramp48()), {{3, {109, 110, 111}}, {4, {0, 0, 0}}}},
    {"OneBitHeader", LowDepth(1, 1, Ramp48()), {{0, {100, 101, 102}}, {1, {103, 104, 105}}}},
    // Pillow's 1-bit files: entries 0 to 7 black, 8 to 15 white.
    {"OneBitBlackPair",
     LowDepth(1, 1, BlackThenWhite(8)),
     {{0, {0, 0, 0}}, {1, {255, 255, 255}}, {2, {0, 0, 0}}}},
    {"OneBitWhiteThenBlack",
     LowDepth(1, 1, BlackThenWhite(0)),
     {{0, {255, 255, 255}}, {1, {255, 255, 255}}}},
};

class PcxPalettes : public ::testing::TestWithParam<PaletteCase> {};

TEST_P(PcxPalettes, ComeFromTheRightPlace) {
    TempDir dir;
    const std::string path = dir.File("pal.pcx");
    WriteFileBytes(path, GetParam().file.Build());
    Read8 r = ReadIndexed(path);
    ASSERT_NE(r.block, nullptr) << PixGetLastError();
    for (const auto& [entry, colour] : GetParam().want) {
        EXPECT_EQ(Entry(r.palette[entry]), colour) << "entry " << entry;
    }
}

INSTANTIATE_TEST_SUITE_P(Colours, PcxPalettes, ::testing::ValuesIn(kPaletteCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- hostile files

// A valid 8-bit 5 x 3 file with its palette, before the patch.
Bytes ValidFile() {
    PcxFile f;
    f.width = 5;
    f.height = 3;
    f.bytesPerLine = 6;
    for (int y = 0; y < 3; ++y) f.data.insert(f.data.end(), {1, 2, 0xC4, 3});
    f.tail = PaletteTail(12, [](int i) { return uint8_t(i); });
    return f.Build();
}

struct BadFile {
    const char* name;
    void (*patch)(Bytes&);
    int rgbCode;    // PixReadPCX
    int indexCode;  // PixReadPCX8
    int sizeCode;   // PixGetPCXSize
};
constexpr int kBad = kPixErrPcx;
const BadFile kBadFiles[] = {
    {"Empty", [](Bytes& b) { b.clear(); }, kBad, kBad, kBad},
    {"HeaderCut", [](Bytes& b) { b.resize(127); }, kBad, kBad, kBad},
    {"Manufacturer11", [](Bytes& b) { b[0] = 11; }, kBad, kBad, kBad},
    {"Version1", [](Bytes& b) { b[1] = 1; }, kBad, kBad, kBad},
    {"Version4", [](Bytes& b) { b[1] = 4; }, kBad, kBad, kBad},
    {"Version6", [](Bytes& b) { b[1] = 6; }, kBad, kBad, kBad},
    {"Version255", [](Bytes& b) { b[1] = 255; }, kBad, kBad, kBad},
    {"ThreePlanesOf1Bit",
     [](Bytes& b) {
         b[3] = 1;
         b[65] = 3;
     },
     kBad, kBad, kBad},
    {"TwoPlanesOf4Bits",
     [](Bytes& b) {
         b[3] = 4;
         b[65] = 2;
     },
     kBad, kBad, kBad},
    {"FourPlanesOf8Bits", [](Bytes& b) { b[65] = 4; }, kBad, kBad, kBad},
    {"ZeroPlanes", [](Bytes& b) { b[65] = 0; }, kBad, kBad, kBad},
    {"ThreeBits", [](Bytes& b) { b[3] = 3; }, kBad, kBad, kBad},
    {"ZeroWidth", [](Bytes& b) { PutLE16(&b[8], 0xFFFF); }, kBad, kBad, kBad},
    {"ZeroHeight", [](Bytes& b) { PutLE16(&b[10], 0xFFFF); }, kBad, kBad, kBad},
    {"XminPastXmax", [](Bytes& b) { PutLE16(&b[4], 9); }, kBad, kBad, kBad},
    {"LineShorterThanWidth", [](Bytes& b) { PutLE16(&b[66], 4); }, kBad, kBad, kBad},
    {"ZeroBytesPerLine", [](Bytes& b) { PutLE16(&b[66], 0); }, kBad, kBad, kBad},
    {"OneBitLineTooShort",
     [](Bytes& b) {
         b[3] = 1;
         PutLE16(&b[8], 16);
         PutLE16(&b[66], 2);
     },
     kBad, kBad, kBad},
    {"TwentyFourBitOver8Bit", [](Bytes& b) { b[65] = 3; }, 0, kPixErrDepth, 0},
    {"OverTwoToThe30Pixels",
     [](Bytes& b) {
         PutLE16(&b[8], 0xFFFE);
         PutLE16(&b[10], 0xFFFE);
         PutLE16(&b[66], 0xFFFF);
     },
     kPixErrMemory, kPixErrMemory, 0},
    {"HeightBeyondData", [](Bytes& b) { PutLE16(&b[10], 5000); }, kBad, kBad, 0},
    {"DataCut", [](Bytes& b) { b.resize(128 + 9); }, kBad, kBad, 0},
    {"RunValueMissing", [](Bytes& b) { b.resize(128 + 11); }, kBad, kBad, 0},
    // Long enough for block-wise decoding, with the marker last in a block.
    {"LongLineRunValueMissing",
     [](Bytes& b) {
         PcxFile f;
         f.version = 3;
         f.width = f.bytesPerLine = 200;
         f.data = Bytes(111, 1);
         f.data.push_back(0xC1);
         b = f.Build();
     },
     kBad, kBad, 0},
};

class PcxRejects : public ::testing::TestWithParam<BadFile> {};

TEST_P(PcxRejects, WithItsOwnCode) {
    const BadFile& c = GetParam();
    TempDir dir;
    const std::string path = dir.File("bad.pcx");
    Bytes file = ValidFile();
    c.patch(file);
    WriteFileBytes(path, file);

    uint32_t w = 0, h = 0;
    HGLOBAL rgb = PixReadPCX(path.c_str(), &w, &h);
    EXPECT_EQ(PixGetLastError(), c.rgbCode);
    EXPECT_EQ(rgb != nullptr, c.rgbCode == 0);
    if (rgb != nullptr) GlobalFree(rgb);

    Read8 r = ReadIndexed(path);
    EXPECT_EQ(PixGetLastError(), c.indexCode);
    EXPECT_EQ(r.block != nullptr, c.indexCode == 0);

    uint32_t sw = 0, sh = 0;
    EXPECT_EQ(PixGetPCXSize(path.c_str(), &sw, &sh) != 0, c.sizeCode == 0);
    EXPECT_EQ(PixGetLastError(), c.sizeCode);
    if (c.sizeCode != 0) {
        EXPECT_EQ(sw | sh, 0u) << "size left alone on failure";
    }
}

INSTANTIATE_TEST_SUITE_P(Header, PcxRejects, ::testing::ValuesIn(kBadFiles),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PcxReader, ValidFileAndAcceptedVersions) {
    TempDir dir;
    const std::string path = dir.File("ok.pcx");
    for (uint8_t version : {0, 2, 3, 5}) {
        Bytes file = ValidFile();
        file[1] = version;
        WriteFileBytes(path, file);
        Read8 r = ReadIndexed(path);
        ASSERT_NE(r.block, nullptr) << int{version};
        EXPECT_EQ(r.indices, (Bytes{1, 2, 3, 3, 3, 1, 2, 3, 3, 3, 1, 2, 3, 3, 3}));
        // Only version 5 takes the appended palette.
        EXPECT_EQ(r.palette[1].rgbRed, version == 5 ? 3 : 1);
    }
}

TEST(PcxErrors, OpenAndParameters) {
    TempDir dir;
    const std::string missing = dir.File("missing.pcx");
    uint32_t w = 0, h = 0;
    RGBQUAD palette[256];
    EXPECT_EQ(PixReadPCX(missing.c_str(), &w, &h), nullptr);
    EXPECT_EQ(PixGetLastError(), kPixErrOpen);
    EXPECT_EQ(PixReadPCX8(missing.c_str(), &w, &h, palette), nullptr);
    EXPECT_EQ(PixGetLastError(), kPixErrOpen);
    EXPECT_FALSE(PixGetPCXSize(missing.c_str(), &w, &h));
    EXPECT_EQ(PixGetLastError(), kPixErrOpen);

    EXPECT_EQ(PixReadPCX(nullptr, &w, &h), nullptr);
    EXPECT_EQ(PixGetLastError(), kPixErrParam);
    EXPECT_EQ(PixReadPCX8(nullptr, &w, &h, palette), nullptr);
    EXPECT_EQ(PixGetLastError(), kPixErrParam);
    EXPECT_FALSE(PixGetPCXSize(nullptr, &w, &h));
    EXPECT_EQ(PixGetLastError(), kPixErrParam);

    const uint8_t pixels[6] = {};
    const std::string out = dir.File("out.pcx");
    EXPECT_FALSE(PixWritePCX(dir.File("no/such/dir.pcx").c_str(), pixels, 1, 1));
    EXPECT_EQ(PixGetLastError(), kPixErrOpen);
    struct Call {
        const char* path;
        const uint8_t* pixels;
        uint32_t width, height;
        const RGBQUAD* palette;
    };
    const Call calls[] = {
        {nullptr, pixels, 1, 1, palette},         {out.c_str(), nullptr, 1, 1, palette},
        {out.c_str(), pixels, 0, 1, palette},     {out.c_str(), pixels, 1, 0, palette},
        {out.c_str(), pixels, 65535, 1, palette}, {out.c_str(), pixels, 1, 65536, palette},
    };
    for (const Call& c : calls) {
        EXPECT_FALSE(PixWritePCX(c.path, c.pixels, c.width, c.height));
        EXPECT_EQ(PixGetLastError(), kPixErrParam) << c.width << "x" << c.height;
        EXPECT_FALSE(PixWritePCX8(c.path, c.pixels, c.width, c.height, c.palette));
        EXPECT_EQ(PixGetLastError(), kPixErrParam) << c.width << "x" << c.height;
    }
    EXPECT_FALSE(PixWritePCX8(out.c_str(), pixels, 1, 1, nullptr));
    EXPECT_EQ(PixGetLastError(), kPixErrParam);
    EXPECT_FALSE(std::filesystem::exists(out)) << "a refused call creates no file";
}

TEST(PcxErrors, FullDiskIsAWriteError) {
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    const Bytes photo = MakePhoto(64, 64);
    EXPECT_FALSE(PixWritePCX("/dev/full", photo.data(), 64, 64));
    EXPECT_EQ(PixGetLastError(), kPixErrWrite);
    RGBQUAD palette[256] = {};
    EXPECT_FALSE(PixWritePCX8("/dev/full", photo.data(), 8, 8, palette));  // all buffered
    EXPECT_EQ(PixGetLastError(), kPixErrWrite);
}

TEST(PcxErrors, LargestWritableSizeReadsBack) {
    TempDir dir;
    const std::string path = dir.File("wide.pcx");
    const Bytes row(65534, 0);
    RGBQUAD palette[256] = {};
    ASSERT_TRUE(PixWritePCX8(path.c_str(), row.data(), 65534, 1, palette));
    uint32_t w = 0, h = 0;
    EXPECT_TRUE(PixGetPCXSize(path.c_str(), &w, &h));
    EXPECT_EQ(w, 65534u);
    EXPECT_EQ(h, 1u);
}

// ---------------------------------------------------------------- corpus

class PcxCorpus : public ::testing::TestWithParam<CorpusRow> {};

TEST_P(PcxCorpus, BehavesAsListed) {
    const CorpusRow& row = GetParam();
    const std::string path = CorpusDir() + "/" + row.path;
    uint32_t w = 0, h = 0;
    HGLOBAL block = PixReadPCX(path.c_str(), &w, &h);
    const int code = PixGetLastError();
    if (row.expect == "fail") {
        EXPECT_EQ(block, nullptr);
        EXPECT_NE(code, 0);
        if (block != nullptr) GlobalFree(block);
        return;
    }
    if (row.expect == "ok") {
        ASSERT_NE(block, nullptr) << "code " << code;
    }
    if (block == nullptr) return;
    const Bytes rgb = TakeBlock(block);
    if (row.reference.empty()) return;
    EXPECT_TRUE(MatchesReference(row, w, h, rgb));

    const std::string idxPath = CorpusDir() + "/" + row.path + ".ref.idx";
    if (!std::filesystem::exists(idxPath)) return;
    Read8 r = ReadIndexed(path);
    ASSERT_NE(r.block, nullptr) << "code " << PixGetLastError();
    EXPECT_TRUE(r.indices == ReadFileBytes(idxPath)) << "indices differ";
    const Bytes pal = ReadFileBytes(CorpusDir() + "/" + row.path + ".ref.pal");
    ASSERT_EQ(pal.size(), 768u);
    for (int i = 0; i < 256; ++i) {
        EXPECT_EQ(Entry(r.palette[i]), (Rgb{pal[3 * i], pal[3 * i + 1], pal[3 * i + 2]}))
            << "entry " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Files, PcxCorpus, ::testing::ValuesIn(CorpusRows("pcx")),
                         [](const auto& info) { return CorpusTestName(info.param); });

}  // namespace
