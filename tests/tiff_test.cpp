// SPDX-License-Identifier: GPL-3.0-or-later
#include "imagelib/tiff.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "imagelib/common.h"
#include "tests/test_util.h"

namespace {

struct Palette {
    RGBQUAD entries[kPixPaletteEntries]{};
};

Palette RandomPalette(uint32_t seed) {
    Palette p;
    std::mt19937 random(seed);
    for (RGBQUAD& e : p.entries) {
        e.rgbBlue = static_cast<uint8_t>(random());
        e.rgbGreen = static_cast<uint8_t>(random());
        e.rgbRed = static_cast<uint8_t>(random());
    }
    p.entries[0] = RGBQUAD{0, 0, 0, 0};
    p.entries[255] = RGBQUAD{255, 255, 255, 0};
    p.entries[1] = RGBQUAD{1, 1, 1, 0};
    return p;
}

Bytes RandomIndices(uint32_t width, uint32_t height, uint32_t seed) {
    Bytes indices(size_t{width} * height);
    std::mt19937 random(seed);
    for (uint8_t& i : indices) i = static_cast<uint8_t>(random());
    return indices;
}

// The 24-bit picture an index buffer shows through a palette.
Bytes Expand(const Bytes& indices, const RGBQUAD* palette) {
    Bytes rgb;
    rgb.reserve(indices.size() * 3);
    for (uint8_t i : indices) {
        rgb.push_back(palette[i].rgbRed);
        rgb.push_back(palette[i].rgbGreen);
        rgb.push_back(palette[i].rgbBlue);
    }
    return rgb;
}

struct Read {
    int code = -1;
    uint32_t width = 0, height = 0;
    Bytes pixels;  // the image part of the block only
};

Read ReadRgb(const std::string& path) {
    Read r;
    HGLOBAL block = PixReadTIFF(path.c_str(), &r.width, &r.height);
    r.code = PixGetLastError();
    if (block != nullptr) {
        r.pixels = TakeBlock(block);
        EXPECT_GE(r.pixels.size(), size_t{r.width} * r.height * 3);
        r.pixels.resize(size_t{r.width} * r.height * 3);
    }
    return r;
}

Read ReadIndexed(const std::string& path, RGBQUAD* palette) {
    Read r;
    HGLOBAL block = PixReadTIFF8(path.c_str(), &r.width, &r.height, palette);
    r.code = PixGetLastError();
    if (block != nullptr) r.pixels = TakeBlock(block);
    EXPECT_EQ(block != nullptr, r.code == 0);
    return r;
}

// The tag numbers of the first directory of a little-endian classic TIFF, in
// file order.
std::vector<uint16_t> DirectoryTags(const Bytes& file) {
    std::vector<uint16_t> tags;
    if (file.size() < 8 || file[0] != 'I' || file[1] != 'I') return tags;
    const uint32_t ifd = GetLE32(&file[4]);
    if (ifd + 2 > file.size()) return tags;
    const uint16_t count = GetLE16(&file[ifd]);
    for (uint32_t i = 0; i < count && ifd + 2 + 12 * (i + 1) <= file.size(); ++i)
        tags.push_back(GetLE16(&file[ifd + 2 + 12 * i]));
    return tags;
}

struct TiffCloser {
    void operator()(TIFF* tif) const { TIFFClose(tif); }
};
using TiffPtr = std::unique_ptr<TIFF, TiffCloser>;

// ---- conformance ----

class TiffCorpus : public ::testing::TestWithParam<CorpusRow> {};

TEST_P(TiffCorpus, BehavesAsListed) {
    const CorpusRow& row = GetParam();
    const std::string path = CorpusDir() + "/" + row.path;
    const Read rgb = ReadRgb(path);

    if (row.expect == "fail") {
        // A damaged header may also claim a strip too big for its file.
        EXPECT_TRUE(rgb.code == kPixErrTiff || rgb.code == kPixErrOpen ||
                    rgb.code == kPixErrMemory)
            << rgb.code;
        EXPECT_TRUE(rgb.pixels.empty());
        EXPECT_EQ(rgb.width, 0u);
        return;
    }
    if (row.expect == "ok") {
        ASSERT_EQ(rgb.code, 0) << PixErrorMessage(rgb.code);
    }
    if (rgb.code != 0) return;  // an "either" file refused cleanly

    uint32_t w = 0, h = 0;
    EXPECT_TRUE(PixGetTIFFSize(path.c_str(), &w, &h));
    EXPECT_EQ(w, rgb.width);
    EXPECT_EQ(h, rgb.height);

    if (!row.reference.empty()) {
        EXPECT_TRUE(MatchesReference(row, rgb.width, rgb.height, rgb.pixels));
    }

    // The 8-bit reader either refuses the file by its tags or shows the same
    // picture through its palette.
    Palette palette;
    const Read indexed = ReadIndexed(path, palette.entries);
    if (indexed.code == kPixErrDepth) return;
    ASSERT_EQ(indexed.code, 0) << PixErrorMessage(indexed.code);
    EXPECT_EQ(indexed.width, rgb.width);
    EXPECT_EQ(indexed.height, rgb.height);
    EXPECT_TRUE(Expand(indexed.pixels, palette.entries) == rgb.pixels);
}

INSTANTIATE_TEST_SUITE_P(Corpus, TiffCorpus, ::testing::ValuesIn(CorpusRows("tiff")),
                         [](const auto& info) { return CorpusTestName(info.param); });

TEST(TiffRead8, ReadsTheCorpusPaletteFiles) {
    for (const char* name : {"palette-1c-1b.tiff", "palette-1c-4b.tiff", "palette-1c-8b.tiff"}) {
        Palette palette;
        const Read r = ReadIndexed(CorpusDir() + "/tiff/libtiff/" + name, palette.entries);
        EXPECT_EQ(r.code, 0) << name;
        EXPECT_EQ(r.pixels.size(), size_t{r.width} * r.height) << name;
    }
}

// ---- writers ----

TEST(TiffWrite, RgbRoundTripsAtOddSizes) {
    TempDir dir;
    for (uint32_t width : {1u, 3u, 17u, 641u}) {
        for (uint32_t height : {1u, 2u, 103u}) {
            SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
            const Bytes photo = MakePhoto(width, height, width + height);
            const std::string path = dir.File("rgb.tif");
            ASSERT_TRUE(PixWriteTIFF(path.c_str(), photo.data(), width, height));
            EXPECT_EQ(PixGetLastError(), 0);
            const Read r = ReadRgb(path);
            ASSERT_EQ(r.code, 0);
            EXPECT_EQ(r.width, width);
            EXPECT_EQ(r.height, height);
            EXPECT_TRUE(r.pixels == photo);
        }
    }
}

TEST(TiffWrite, PaletteRoundTripsIndicesAndPalette) {
    TempDir dir;
    const Palette palette = RandomPalette(7);
    for (uint32_t width : {1u, 5u, 333u}) {
        const uint32_t height = 37;
        SCOPED_TRACE(width);
        const Bytes indices = RandomIndices(width, height, width);
        const std::string path = dir.File("pal.tif");
        ASSERT_TRUE(PixWriteTIFF8(path.c_str(), indices.data(), width, height, palette.entries));

        Palette back;
        std::memset(back.entries, 0xEE, sizeof back.entries);
        const Read r = ReadIndexed(path, back.entries);
        ASSERT_EQ(r.code, 0);
        EXPECT_EQ(r.width, width);
        EXPECT_EQ(r.height, height);
        EXPECT_TRUE(r.pixels == indices);
        for (int k = 0; k < kPixPaletteEntries; ++k) {
            EXPECT_EQ(back.entries[k].rgbRed, palette.entries[k].rgbRed) << k;
            EXPECT_EQ(back.entries[k].rgbGreen, palette.entries[k].rgbGreen) << k;
            EXPECT_EQ(back.entries[k].rgbBlue, palette.entries[k].rgbBlue) << k;
            EXPECT_EQ(back.entries[k].rgbReserved, 0xEE) << "reserved byte left alone";
        }
        EXPECT_TRUE(ReadRgb(path).pixels == Expand(indices, palette.entries));
    }
}

TEST(TiffWrite, TagsOfBothWriters) {
    TempDir dir;
    const Palette palette = RandomPalette(3);
    const Bytes pixels(17 * 4 * 3, 0x80);
    const std::string rgbPath = dir.File("rgb.tif"), palPath = dir.File("pal.tif");
    ASSERT_TRUE(PixWriteTIFF(rgbPath.c_str(), pixels.data(), 17, 4));
    ASSERT_TRUE(PixWriteTIFF8(palPath.c_str(), pixels.data(), 17, 4, palette.entries));

    // libtiff stores the directory sorted; StripOffsets (273) and
    // StripByteCounts (279) are its own.
    const std::vector<uint16_t> common = {256, 257, 258, 259, 262, 273, 274, 277,
                                          278, 279, 282, 283, 284, 296, 305};
    EXPECT_EQ(DirectoryTags(ReadFileBytes(rgbPath)), common);
    std::vector<uint16_t> withMap = common;
    withMap.push_back(320);
    EXPECT_EQ(DirectoryTags(ReadFileBytes(palPath)), withMap);

    const std::string software = "Pixmod / Pixkit, using " + std::to_string(TIFFLIB_MAJOR_VERSION) +
                                 "." + std::to_string(TIFFLIB_MINOR_VERSION) + "." +
                                 std::to_string(TIFFLIB_MICRO_VERSION);
    struct Want {
        std::string path;
        uint16_t samples, photometric;
    };
    for (const Want& want :
         {Want{rgbPath, 3, PHOTOMETRIC_RGB}, Want{palPath, 1, PHOTOMETRIC_PALETTE}}) {
        SCOPED_TRACE(want.path);
        TiffPtr tif(TIFFOpen(want.path.c_str(), "rc"));
        ASSERT_TRUE(tif);
        uint16_t u16 = 0;
        float f = 0;
        char* text = nullptr;
        EXPECT_TRUE(TIFFGetField(tif.get(), TIFFTAG_SAMPLESPERPIXEL, &u16));
        EXPECT_EQ(u16, want.samples);
        EXPECT_TRUE(TIFFGetField(tif.get(), TIFFTAG_BITSPERSAMPLE, &u16));
        EXPECT_EQ(u16, 8);
        EXPECT_TRUE(TIFFGetField(tif.get(), TIFFTAG_PHOTOMETRIC, &u16));
        EXPECT_EQ(u16, want.photometric);
        EXPECT_TRUE(TIFFGetField(tif.get(), TIFFTAG_COMPRESSION, &u16));
        EXPECT_EQ(u16, COMPRESSION_NONE);
        EXPECT_TRUE(TIFFGetField(tif.get(), TIFFTAG_PLANARCONFIG, &u16));
        EXPECT_EQ(u16, PLANARCONFIG_CONTIG);
        EXPECT_TRUE(TIFFGetField(tif.get(), TIFFTAG_ORIENTATION, &u16));
        EXPECT_EQ(u16, ORIENTATION_TOPLEFT);
        EXPECT_TRUE(TIFFGetField(tif.get(), TIFFTAG_RESOLUTIONUNIT, &u16));
        EXPECT_EQ(u16, 1);
        EXPECT_TRUE(TIFFGetField(tif.get(), TIFFTAG_XRESOLUTION, &f));
        EXPECT_EQ(f, 1.0f);
        EXPECT_TRUE(TIFFGetField(tif.get(), TIFFTAG_YRESOLUTION, &f));
        EXPECT_EQ(f, 1.0f);
        ASSERT_TRUE(TIFFGetField(tif.get(), TIFFTAG_SOFTWARE, &text));
        EXPECT_EQ(std::string(text), software);
    }

    TiffPtr tif(TIFFOpen(palPath.c_str(), "r"));
    ASSERT_TRUE(tif);
    uint16_t *red = nullptr, *green = nullptr, *blue = nullptr;
    ASSERT_TRUE(TIFFGetField(tif.get(), TIFFTAG_COLORMAP, &red, &green, &blue));
    for (int k = 0; k < kPixPaletteEntries; ++k) {
        EXPECT_EQ(red[k], palette.entries[k].rgbRed * 257) << k;
        EXPECT_EQ(green[k], palette.entries[k].rgbGreen * 257) << k;
        EXPECT_EQ(blue[k], palette.entries[k].rgbBlue * 257) << k;
    }
    EXPECT_EQ(red[255], 65535);
    EXPECT_EQ(red[1], 257);
}

// Sized for one 1-bit sample per pixel whatever the pixel format.
TEST(TiffWrite, RowsPerStripFollowsTheWidthOnly) {
    TempDir dir;
    struct Case {
        uint32_t width;
        uint32_t rows;
    };
    for (const Case c : {Case{1, 8192}, Case{8, 8192}, Case{9, 4096}, Case{640, 102},
                         Case{6000, 10}, Case{65535, 1}, Case{65536, 1}}) {
        const Bytes pixels(size_t{c.width} * 3, 0x55);
        for (int bits : {24, 8}) {
            SCOPED_TRACE(std::to_string(c.width) + " at " + std::to_string(bits));
            const std::string path = dir.File("strip.tif");
            const Palette palette;
            ASSERT_TRUE(bits == 24 ? PixWriteTIFF(path.c_str(), pixels.data(), c.width, 1)
                                   : PixWriteTIFF8(path.c_str(), pixels.data(), c.width, 1,
                                                   palette.entries));
            TiffPtr tif(TIFFOpen(path.c_str(), "rc"));  // c: as stored, not chopped
            ASSERT_TRUE(tif);
            uint32_t rows = 0;
            EXPECT_TRUE(TIFFGetField(tif.get(), TIFFTAG_ROWSPERSTRIP, &rows));
            EXPECT_EQ(rows, c.rows);
        }
    }
}

TEST(TiffWrite, RefusesBadArgumentsWithoutCreatingAFile) {
    TempDir dir;
    const std::string path = dir.File("never.tif");
    const Bytes pixels(12, 0);
    const Palette palette;
    auto check = [&](const char* name, BOOL result) {
        EXPECT_FALSE(result) << name;
        EXPECT_EQ(PixGetLastError(), kPixErrParam) << name;
        EXPECT_FALSE(std::filesystem::exists(path)) << name;
    };
    check("null path", PixWriteTIFF(nullptr, pixels.data(), 2, 2));
    check("null pixels", PixWriteTIFF(path.c_str(), nullptr, 2, 2));
    check("zero width", PixWriteTIFF(path.c_str(), pixels.data(), 0, 2));
    check("zero height", PixWriteTIFF8(path.c_str(), pixels.data(), 2, 0, palette.entries));
    check("null palette", PixWriteTIFF8(path.c_str(), pixels.data(), 2, 2, nullptr));
    check("8-bit null path", PixWriteTIFF8(nullptr, pixels.data(), 2, 2, palette.entries));
}

// libtiff writes the header while it opens the file, so a device that takes
// no data fails there too.
TEST(TiffWrite, UnopenablePathsGiveCode2) {
    TempDir dir;
    const Bytes pixels(12, 0);
    std::vector<std::string> paths = {dir.path().string(), dir.File("missing/dir/x.tif")};
    if (std::filesystem::exists("/dev/full")) paths.push_back("/dev/full");
    for (const std::string& path : paths) {
        EXPECT_FALSE(PixWriteTIFF(path.c_str(), pixels.data(), 2, 2)) << path;
        EXPECT_EQ(PixGetLastError(), kPixErrOpen) << path;
    }
}

// A write that libtiff cannot complete, in a child process whose file size
// limit is 4 KiB: the error arrives either at a strip boundary (a row) or at
// the final flush, and both must be reported.
int WriteUnderSizeLimit(const std::string& path, uint32_t width, uint32_t height) {
    const pid_t child = fork();
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);  // writes past the limit fail with EFBIG instead
        const rlimit limit{4096, 4096};
        setrlimit(RLIMIT_FSIZE, &limit);
        const Bytes photo = MakePhoto(width, height);
        const BOOL ok = PixWriteTIFF(path.c_str(), photo.data(), width, height);
        _exit(ok ? 100 : PixGetLastError());
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(TiffWrite, FailedWriteReportsCode4) {
    TempDir dir;
    EXPECT_EQ(WriteUnderSizeLimit(dir.File("rows.tif"), 640, 300), kPixErrWrite)
        << "strip flushed at a row boundary";
    EXPECT_EQ(WriteUnderSizeLimit(dir.File("close.tif"), 64, 64), kPixErrWrite)
        << "single strip, flushed at the end";
    EXPECT_EQ(WriteUnderSizeLimit(dir.File("fits.tif"), 8, 8), 100) << "control: fits the limit";
}

// ---- reader details ----

// A grey TIFF with the given resolution tags, written by libtiff itself.
void WriteGrey(const std::string& path, uint32_t width, uint32_t height, bool resolution,
               uint16_t unit = 0, float x = 0, float y = 0) {
    TiffPtr tif(TIFFOpen(path.c_str(), "w"));
    ASSERT_TRUE(tif);
    TIFFSetField(tif.get(), TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tif.get(), TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tif.get(), TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tif.get(), TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tif.get(), TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tif.get(), TIFFTAG_ROWSPERSTRIP, height);
    if (resolution) {
        TIFFSetField(tif.get(), TIFFTAG_RESOLUTIONUNIT, unit);
        TIFFSetField(tif.get(), TIFFTAG_XRESOLUTION, x);
        TIFFSetField(tif.get(), TIFFTAG_YRESOLUTION, y);
    }
    if (uint64_t{width} * height <= 4096) {
        Bytes row(width, 0x40);
        for (uint32_t r = 0; r < height; ++r) TIFFWriteScanline(tif.get(), row.data(), r, 0);
    }
}

TEST(TiffRead, ResolutionGoesToTheThreadState) {
    TempDir dir;
    const std::string withTags = dir.File("res.tif"), without = dir.File("nores.tif");
    WriteGrey(withTags, 4, 3, true, RESUNIT_CENTIMETER, 300.9f, 72.2f);
    WriteGrey(without, 4, 3, false);
    PixResolution& read = PixState().tiffResolutionRead;

    uint32_t w = 0, h = 0;
    HGLOBAL block = PixReadTIFF(withTags.c_str(), &w, &h);
    ASSERT_NE(block, nullptr);
    GlobalFree(block);
    EXPECT_EQ(read.unit, RESUNIT_CENTIMETER);
    EXPECT_EQ(read.x, 300);
    EXPECT_EQ(read.y, 72);

    ASSERT_TRUE(PixGetTIFFSize(without.c_str(), &w, &h));
    EXPECT_EQ(w, 4u);
    EXPECT_EQ(h, 3u);
    EXPECT_EQ(read.unit, 1) << "nothing survives from the previous file";
    EXPECT_EQ(read.x, 1);
    EXPECT_EQ(read.y, 1);

    read = PixResolution{};
    EXPECT_TRUE(PixGetTIFFSize(withTags.c_str(), &w, &h));
    EXPECT_EQ(read.unit, RESUNIT_CENTIMETER);
    EXPECT_EQ(read.x, 300);
    EXPECT_EQ(read.y, 72);

    // A rational beyond int32 is clamped, not cast (undefined behaviour).
    const std::string wild = dir.File("wild.tif");
    WriteGrey(wild, 4, 3, true, RESUNIT_INCH, 4e9f, 3e9f);
    EXPECT_TRUE(PixGetTIFFSize(wild.c_str(), &w, &h));
    EXPECT_EQ(read.x, INT32_MAX);
    EXPECT_EQ(read.y, INT32_MAX);
}

// A little-endian classic TIFF built byte by byte: one directory of SHORT (3)
// or LONG (4) entries, values that do not fit in the entry stored after it,
// and a few bytes of (deflate) pixel data that the tags point at.
struct Entry {
    uint16_t tag, type;
    std::vector<uint32_t> values;
};
Bytes BuildTiff(std::vector<Entry> entries) {
    const uint32_t data = 8;  // 16 bytes of pixel data right after the header
    entries.push_back({273, 4, {data}});
    entries.push_back({279, 4, {16}});
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.tag < b.tag; });
    const uint32_t ifd = data + 16;
    Bytes file(ifd + 2 + 12 * entries.size() + 4, 0);
    file[0] = file[1] = 'I';
    PutLE16(&file[2], 42);
    PutLE32(&file[4], ifd);
    PutLE16(&file[ifd], static_cast<uint16_t>(entries.size()));
    for (size_t i = 0; i < entries.size(); ++i) {
        const Entry& e = entries[i];
        uint8_t* p = &file[ifd + 2 + 12 * i];
        PutLE16(p, e.tag);
        PutLE16(p + 2, e.type);
        PutLE32(p + 4, static_cast<uint32_t>(e.values.size()));
        const size_t size = e.type == 3 ? 2 : 4;
        uint8_t* out = p + 8;
        if (e.values.size() * size > 4) {
            PutLE32(p + 8, static_cast<uint32_t>(file.size()));
            file.resize(file.size() + e.values.size() * size);
            out = &file[file.size() - e.values.size() * size];
        }
        for (uint32_t v : e.values) {
            if (size == 2)
                PutLE16(out, static_cast<uint16_t>(v));
            else
                PutLE32(out, v);
            out += size;
        }
    }
    return file;
}

// 32768 x 32769: one row more than 2^30 pixels.
Bytes HugeTiff(uint16_t photometric, uint16_t bits) {
    std::vector<Entry> entries = {
        {256, 4, {32768}},       {257, 4, {32769}},
        {258, 3, {bits}},        {259, 3, {COMPRESSION_ADOBE_DEFLATE}},
        {262, 3, {photometric}}, {277, 3, {1}},
        {278, 4, {32769}},
    };
    if (photometric == PHOTOMETRIC_PALETTE)
        entries.push_back({320, 3, std::vector<uint32_t>(3u << bits, 0)});
    return BuildTiff(entries);
}

TEST(TiffRead, RefusesWhatItCannotRead) {
    TempDir dir;
    const std::string text = dir.File("text.tif"), huge = dir.File("huge.tif");
    WriteFileBytes(text, Bytes{'h', 'e', 'l', 'l', 'o', '\n'});
    WriteFileBytes(huge, HugeTiff(PHOTOMETRIC_MINISBLACK, 8));

    struct Case {
        std::string name, path;
        int rgb, size;
    };
    const Case cases[] = {
        {"missing", dir.File("missing.tif"), kPixErrOpen, kPixErrOpen},
        {"not a TIFF", text, kPixErrOpen, kPixErrOpen},
        {"over 2^30 pixels", huge, kPixErrMemory, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        uint32_t w = 7, h = 7;
        EXPECT_EQ(PixReadTIFF(c.path.c_str(), &w, &h), nullptr);
        EXPECT_EQ(PixGetLastError(), c.rgb);
        EXPECT_EQ(w, 0u);
        EXPECT_EQ(h, 0u);
        EXPECT_EQ(PixGetTIFFSize(c.path.c_str(), &w, &h), c.size == 0);
        EXPECT_EQ(PixGetLastError(), c.size);
    }
    uint32_t w = 0, h = 0;
    EXPECT_TRUE(PixGetTIFFSize(huge.c_str(), &w, &h));
    EXPECT_EQ(w, 32768u);
    EXPECT_EQ(h, 32769u);

    const std::string hugePalette = dir.File("hugepal.tif");
    WriteFileBytes(hugePalette, HugeTiff(PHOTOMETRIC_PALETTE, 4));
    Palette palette;
    EXPECT_EQ(PixReadTIFF8(hugePalette.c_str(), &w, &h, palette.entries), nullptr);
    EXPECT_EQ(PixGetLastError(), kPixErrMemory);
    EXPECT_EQ(w, 0u);

    // A small picture in one tile of more than 2^30 pixels: the tile is
    // refused before its buffer is allocated.
    const std::string hugeTile = dir.File("hugetile.tif");
    WriteFileBytes(hugeTile, BuildTiff({{256, 4, {16}},
                                        {257, 4, {16}},
                                        {258, 3, {8}},
                                        {262, 3, {PHOTOMETRIC_PALETTE}},
                                        {277, 3, {1}},
                                        {320, 3, std::vector<uint32_t>(768, 0)},
                                        {322, 4, {65536}},
                                        {323, 4, {16400}}}));
    EXPECT_EQ(PixReadTIFF8(hugeTile.c_str(), &w, &h, palette.entries), nullptr);
    EXPECT_EQ(PixGetLastError(), kPixErrMemory);
}

// What the reader must return, computed the plain way: libtiff's whole
// bottom-up RGBA raster, alpha dropped, rows turned end for end.
Bytes PlainRgbaPicture(const std::string& path) {
    TiffPtr tif(TIFFOpen(path.c_str(), "r"));
    if (!tif) return {};
    uint32_t w = 0, h = 0;
    TIFFGetField(tif.get(), TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(tif.get(), TIFFTAG_IMAGELENGTH, &h);
    std::vector<uint32_t> raster(size_t{w} * h);
    if (!TIFFReadRGBAImage(tif.get(), w, h, raster.data(), 0)) return {};
    Bytes rgb;
    for (uint32_t y = h; y-- > 0;)
        for (uint32_t x = 0; x < w; ++x) {
            const uint32_t p = raster[size_t{y} * w + x];
            rgb.insert(rgb.end(),
                       {static_cast<uint8_t>(TIFFGetR(p)), static_cast<uint8_t>(TIFFGetG(p)),
                        static_cast<uint8_t>(TIFFGetB(p))});
        }
    return rgb;
}

// Pictures large enough to be decoded in several bands, in every
// orientation and storage layout, read exactly as the plain way shows them.
// The odd height keeps the bands of a bottom-up file off the row pairs of
// subsampled YCbCr unless the reader aligns them.
TEST(TiffRead, MatchesTheWholeRasterInEveryOrientationAndLayout) {
    TempDir dir;
    const uint32_t width = 700, height = 451;  // 1.26 MB of raster
    const Bytes photo = MakePhoto(width, height, 5);
    enum Layout { kStrips, kTiles, kSeparate, kJpegYCbCr, kRawYCbCr };
    for (Layout layout : {kStrips, kTiles, kSeparate, kJpegYCbCr, kRawYCbCr}) {
        for (uint16_t orientation = 1; orientation <= 8; ++orientation) {
            SCOPED_TRACE("layout " + std::to_string(layout) + " orientation " +
                         std::to_string(orientation));
            const std::string path = dir.File("turned.tif");
            [&] {
                TiffPtr tif(TIFFOpen(path.c_str(), "w"));
                ASSERT_TRUE(tif);
                TIFF* t = tif.get();
                TIFFSetField(t, TIFFTAG_IMAGEWIDTH, width);
                TIFFSetField(t, TIFFTAG_IMAGELENGTH, height);
                TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 3);
                TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
                TIFFSetField(t, TIFFTAG_ORIENTATION, orientation);
                TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
                TIFFSetField(t, TIFFTAG_PLANARCONFIG,
                             layout == kSeparate ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG);
                if (layout == kJpegYCbCr) {
                    TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_JPEG);
                    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_YCBCR);
                    TIFFSetField(t, TIFFTAG_YCBCRSUBSAMPLING, 2, 2);
                    TIFFSetField(t, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
                }
                if (layout == kRawYCbCr) {
                    // Uncompressed 2x2 subsampling: each unit is four Y, Cb, Cr.
                    const uint32_t rowsPerStrip = 6;
                    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_YCBCR);
                    TIFFSetField(t, TIFFTAG_YCBCRSUBSAMPLING, 2, 2);
                    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, rowsPerStrip);
                    const size_t units = size_t{(width + 1) / 2} * (rowsPerStrip / 2);
                    for (uint32_t strip = 0; strip * rowsPerStrip < height; ++strip) {
                        Bytes data(units * 6);
                        for (size_t i = 0; i < data.size(); ++i)
                            data[i] = static_cast<uint8_t>(i * 7 + strip * 13);
                        const uint32_t rows = std::min(rowsPerStrip, height - strip * rowsPerStrip);
                        const size_t bytes = size_t{(width + 1) / 2} * ((rows + 1) / 2) * 6;
                        ASSERT_GE(TIFFWriteEncodedStrip(t, strip, data.data(),
                                                        static_cast<tmsize_t>(bytes)),
                                  0);
                    }
                    return;
                }
                if (layout == kTiles) {
                    TIFFSetField(t, TIFFTAG_TILEWIDTH, 32);
                    TIFFSetField(t, TIFFTAG_TILELENGTH, 32);
                    Bytes tile(32 * 32 * 3);
                    for (uint32_t ty = 0; ty < height; ty += 32)
                        for (uint32_t tx = 0; tx < width; tx += 32) {
                            std::fill(tile.begin(), tile.end(), 0);
                            for (uint32_t y = ty; y < std::min(height, ty + 32); ++y)
                                for (uint32_t x = tx; x < std::min(width, tx + 32); ++x)
                                    std::memcpy(&tile[((y - ty) * 32 + (x - tx)) * 3],
                                                &photo[(size_t{y} * width + x) * 3], 3);
                            ASSERT_GE(TIFFWriteTile(t, tile.data(), tx, ty, 0, 0), 0);
                        }
                    return;
                }
                TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, layout == kJpegYCbCr ? 16 : 7);
                const uint16_t planes = layout == kSeparate ? 3 : 1;
                Bytes plane(width);
                for (uint16_t s = 0; s < planes; ++s)
                    for (uint32_t y = 0; y < height; ++y) {
                        const uint8_t* row = &photo[size_t{y} * width * 3];
                        if (planes == 1) {
                            ASSERT_GE(TIFFWriteScanline(t, const_cast<uint8_t*>(row), y, 0), 0);
                            continue;
                        }
                        for (uint32_t x = 0; x < width; ++x) plane[x] = row[x * 3 + s];
                        ASSERT_GE(TIFFWriteScanline(t, plane.data(), y, s), 0);
                    }
            }();
            const Bytes want = PlainRgbaPicture(path);
            ASSERT_EQ(want.size(), photo.size());
            const Read r = ReadRgb(path);
            ASSERT_EQ(r.code, 0);
            EXPECT_TRUE(r.pixels == want);
            if (orientation == ORIENTATION_TOPLEFT && layout != kJpegYCbCr && layout != kRawYCbCr) {
                EXPECT_TRUE(r.pixels == photo);
            }
        }
    }
}

TEST(TiffRead8, RefusesOtherKindsFromTheTags) {
    TempDir dir;
    const std::string rgb = dir.File("rgb.tif"), grey = dir.File("grey.tif");
    const Bytes photo = MakePhoto(9, 9);
    ASSERT_TRUE(PixWriteTIFF(rgb.c_str(), photo.data(), 9, 9));
    WriteGrey(grey, 9, 9, false);
    for (const std::string& path : {rgb, grey}) {
        Palette palette;
        uint32_t w = 5, h = 5;
        EXPECT_EQ(PixReadTIFF8(path.c_str(), &w, &h, palette.entries), nullptr) << path;
        EXPECT_EQ(PixGetLastError(), kPixErrDepth) << path;
        EXPECT_EQ(w, 0u);
    }
    uint32_t w = 0, h = 0;
    EXPECT_EQ(PixReadTIFF8(rgb.c_str(), &w, &h, nullptr), nullptr);
    EXPECT_EQ(PixGetLastError(), kPixErrParam);
}

// Palette TIFFs as other programs write them: fewer bits, tiles, LZW, a
// non-top-left orientation. Indices come back unpacked, oriented as
// PixReadTIFF shows the picture.
TEST(TiffRead8, ReadsPackedTiledAndTurnedFiles) {
    TempDir dir;
    const Palette palette = RandomPalette(11);
    struct Case {
        const char* name;
        uint16_t bits;
        bool tiled;
        uint16_t compression, orientation;
    };
    const Case cases[] = {
        {"1-bit strips", 1, false, COMPRESSION_NONE, ORIENTATION_TOPLEFT},
        {"2-bit LZW", 2, false, COMPRESSION_LZW, ORIENTATION_TOPLEFT},
        {"4-bit tiles", 4, true, COMPRESSION_NONE, ORIENTATION_TOPLEFT},
        {"8-bit tiles deflate", 8, true, COMPRESSION_ADOBE_DEFLATE, ORIENTATION_TOPLEFT},
        {"8-bit bottom-right", 8, false, COMPRESSION_NONE, ORIENTATION_BOTRIGHT},
        {"4-bit bottom-left tiles", 4, true, COMPRESSION_NONE, ORIENTATION_BOTLEFT},
        {"8-bit top-right", 8, false, COMPRESSION_PACKBITS, ORIENTATION_TOPRIGHT},
    };
    const uint32_t width = 37, height = 21;  // tiles of 16 leave partial ones
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.File("packed.tif");
        Bytes stored = RandomIndices(width, height, c.bits);
        for (uint8_t& i : stored) i &= static_cast<uint8_t>((1u << c.bits) - 1);
        {
            TiffPtr tif(TIFFOpen(path.c_str(), "w"));
            ASSERT_TRUE(tif);
            TIFF* t = tif.get();
            TIFFSetField(t, TIFFTAG_IMAGEWIDTH, width);
            TIFFSetField(t, TIFFTAG_IMAGELENGTH, height);
            TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
            TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, c.bits);
            TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_PALETTE);
            TIFFSetField(t, TIFFTAG_COMPRESSION, c.compression);
            TIFFSetField(t, TIFFTAG_ORIENTATION, c.orientation);
            std::vector<uint16_t> r(size_t{1} << c.bits), g(r.size()), b(r.size());
            for (size_t k = 0; k < r.size(); ++k) {
                r[k] = static_cast<uint16_t>(palette.entries[k].rgbRed * 257);
                g[k] = static_cast<uint16_t>(palette.entries[k].rgbGreen * 257);
                b[k] = static_cast<uint16_t>(palette.entries[k].rgbBlue * 257);
            }
            TIFFSetField(t, TIFFTAG_COLORMAP, r.data(), g.data(), b.data());
            const size_t rowBytes = (size_t{width} * c.bits + 7) / 8;
            auto pack = [&](uint32_t y, uint32_t x0, uint32_t count, uint8_t* out) {
                for (uint32_t i = 0; i < count; ++i) {
                    const uint8_t v = x0 + i < width ? stored[size_t{y} * width + x0 + i] : 0;
                    const size_t bit = size_t{i} * c.bits;
                    out[bit / 8] |= static_cast<uint8_t>(v << (8 - c.bits - bit % 8));
                }
            };
            if (c.tiled) {
                TIFFSetField(t, TIFFTAG_TILEWIDTH, 16);
                TIFFSetField(t, TIFFTAG_TILELENGTH, 16);
                const size_t tileRow = (16 * c.bits + 7) / 8;
                for (uint32_t ty = 0; ty < height; ty += 16)
                    for (uint32_t tx = 0; tx < width; tx += 16) {
                        Bytes tile(tileRow * 16, 0);
                        for (uint32_t y = 0; y < 16 && ty + y < height; ++y)
                            pack(ty + y, tx, 16, &tile[y * tileRow]);
                        ASSERT_GE(TIFFWriteTile(t, tile.data(), tx, ty, 0, 0), 0);
                    }
            } else {
                TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 4);
                for (uint32_t y = 0; y < height; ++y) {
                    Bytes row(rowBytes, 0);
                    pack(y, 0, width, row.data());
                    ASSERT_GE(TIFFWriteScanline(t, row.data(), y, 0), 0);
                }
            }
        }
        Palette back;
        const Read r = ReadIndexed(path, back.entries);
        ASSERT_EQ(r.code, 0);
        ASSERT_EQ(r.pixels.size(), stored.size());
        const Read rgb = ReadRgb(path);
        ASSERT_EQ(rgb.code, 0);
        EXPECT_TRUE(Expand(r.pixels, back.entries) == rgb.pixels);
        if (c.orientation == ORIENTATION_TOPLEFT) {
            EXPECT_TRUE(r.pixels == stored);
        }
        for (size_t k = size_t{1} << c.bits; k < kPixPaletteEntries; ++k)
            EXPECT_EQ(back.entries[k].rgbRed | back.entries[k].rgbGreen | back.entries[k].rgbBlue,
                      0);
    }
}

}  // namespace
