// SPDX-License-Identifier: GPL-3.0-or-later
// The segmented PNG writer: what it writes is read back by libpng pixel for
// pixel, at sizes around its segments and on any number of threads.
#include <gtest/gtest.h>
#include <png.h>
#include <sys/resource.h>
#include <zlib.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "hiding/runs.h"
#include "imagelib/pix.h"
#include "imagelib/png_idat.h"
#include "tests/test_util.h"

namespace {

namespace fs = std::filesystem;

uint32_t GetBE32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
}

// The inflated image data (filter bytes and filtered rows) of a PNG file.
Bytes FilteredRows(const Bytes& file) {
    Bytes zdata;
    for (size_t at = 8; at + 12 <= file.size();) {
        const uint32_t length = GetBE32(&file[at]);
        if (std::equal(&file[at + 4], &file[at + 8], "IDAT"))
            zdata.insert(zdata.end(), &file[at + 8], &file[at + 8 + length]);
        at += 12 + size_t{length};
    }
    Bytes out(64);
    z_stream z{};
    inflateInit(&z);
    z.next_in = zdata.data();
    z.avail_in = static_cast<uInt>(zdata.size());
    size_t made = 0;
    int result = Z_OK;
    while (result == Z_OK) {
        if (made == out.size()) out.resize(out.size() * 2);
        z.next_out = out.data() + made;
        z.avail_out = static_cast<uInt>(out.size() - made);
        result = inflate(&z, Z_NO_FLUSH);
        made = out.size() - z.avail_out;
    }
    inflateEnd(&z);
    EXPECT_EQ(result, Z_STREAM_END);
    out.resize(made);
    return out;
}

[[noreturn]] void OnError(png_structp png, png_const_charp) {
    png_longjmp(png, 1);
}

// libpng's own write of the same rows, defaults throughout.
bool LibpngWrite(const std::string& path, const Bytes& pixels, uint32_t width, uint32_t height,
                 int colourType, int channels) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, OnError, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        std::fclose(file);
        return false;
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, width, height, 8, colourType, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (uint32_t y = 0; y < height; ++y)
        png_write_row(png, pixels.data() + size_t{y} * width * channels);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return std::fclose(file) == 0;
}

// A photograph with grain, so that every filter wins some rows.
Bytes Samples(uint32_t width, uint32_t height, int channels, uint32_t seed) {
    const Bytes rgb = MakePhoto(width, height, seed);
    if (channels == 3) return rgb;
    Bytes out(size_t{width} * height);
    for (size_t i = 0; i < out.size(); ++i) out[i] = rgb[3 * i + 1];
    return out;
}

struct Threads {
    explicit Threads(unsigned n) : previous(PixSetPNGWriteThreads(n)) {}
    ~Threads() { PixSetPNGWriteThreads(previous); }
    unsigned previous;
};

TEST(PngSegmentedWrite, OddSizesReadBackByLibpngOnAnyThreads) {
    struct Case {
        uint32_t width, height;
        int colourType;  // 2 RGB, 0 grey, 3 palette; 4 stands for RGB noise
    };
    const uint32_t segmentRows = kPngSegmentBytes / (613 * 3 + 1);
    const Case cases[] = {
        {1, 1, 2},        {1, 1, 3},       {1, 5000, 2},
        {5000, 1, 2},     {613, 211, 2},   {613, segmentRows, 2},  // one row short of two segments
        {613, 211, 0},    {997, 700, 3},   {1, 300000, 2},         // narrow rows, many segments
        {100003, 3, 2},                                            // rows wider than a segment
        {257, 301, 4},                                             // noise: stored blocks
    };
    TempDir dir;
    for (Case c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << " x " << c.height << " type " << c.colourType);
        const bool noise = c.colourType == 4;
        if (noise) c.colourType = 2;
        const int channels = c.colourType == 2 ? 3 : 1;
        Bytes pixels = Samples(c.width, c.height, channels, c.width + c.height);
        std::mt19937 random(3);
        if (noise) {
            for (uint8_t& b : pixels) b = static_cast<uint8_t>(random());
        }
        std::vector<RGBQUAD> palette(256);
        for (int k = 0; k < 256; ++k) palette[k] = RGBQUAD{uint8_t(k), uint8_t(255 - k), 7, 0};
        Bytes reference;
        for (unsigned threads : {1u, 2u, 5u}) {
            SCOPED_TRACE(threads);
            Threads use(threads);
            const std::string path = dir.File("w.png");
            ASSERT_TRUE(PixWritePNGEx(path.c_str(), pixels.data(), c.width, c.height,
                                      c.width * channels, 8, 256,
                                      c.colourType == 3 ? palette.data() : nullptr, c.colourType,
                                      0.0, 0, 0));
            const Bytes filtered = FilteredRows(ReadFileBytes(path));
            // The stream does not depend on how many threads made it.
            if (reference.empty()) reference = filtered;
            EXPECT_TRUE(filtered == reference);

            uint32_t w = 0, h = 0;
            if (c.colourType == 3) {
                RGBQUAD got[256];
                const Bytes indices = TakeBlock(PixReadPNG8(path.c_str(), &w, &h, got));
                EXPECT_TRUE(indices == pixels);
            } else {
                PixSetPNGGamma(2.2);
                const Bytes rgb = TakeBlock(PixReadPNG(path.c_str(), &w, &h));
                ASSERT_EQ(rgb.size(), size_t{c.width} * c.height * 3);
                bool same = true;
                for (size_t i = 0; i < rgb.size() && same; ++i)
                    same = rgb[i] == pixels[channels == 3 ? i : i / 3];
                EXPECT_TRUE(same);
            }
            EXPECT_EQ(w, c.width);
            EXPECT_EQ(h, c.height);
        }
        // Row filters as libpng's own heuristic picks them, so the file does
        // not grow; palette rows stay unfiltered, as libpng leaves them.
        // (One-pixel rows libpng costs in a way of its own, sometimes taking
        // a filter of higher cost; those are left out.)
        const std::string theirs = dir.File("libpng.png");
        if (c.colourType != 3 && c.width > 1) {
            ASSERT_TRUE(LibpngWrite(theirs, pixels, c.width, c.height, c.colourType, channels));
            EXPECT_TRUE(FilteredRows(ReadFileBytes(theirs)) == reference);
        } else if (c.colourType == 3) {
            for (size_t y = 0; y < c.height; ++y) EXPECT_EQ(reference[y * (c.width + 1)], 0);
        }
    }
}

class Quiet : public QuietDialog {
  public:
    std::string base, data, output, directory, passphrase = "a long passphrase";
    std::string BaseImagePath() override { return base; }
    std::string DataFilePath() override { return data; }
    std::string OutputImagePath() override { return output; }
    std::string OutputDirectory() override { return directory; }
    bool AskYesNo(const std::string&) override { return true; }
};

// Every method's PNG carrier, larger than a segment and written on two
// threads, decodes; the 24-bit ones hold exactly the pixels of a BMP twin.
TEST(PngSegmentedWrite, EveryMethodsCarrierDecodes) {
    TempDir dir;
    Threads use(2);
    const uint32_t width = 401, height = 299;
    Quiet dialog;
    dialog.base = dir.File("base.bmp");
    dialog.data = dir.File("secret.dat");
    dialog.directory = dir.File("out");
    fs::create_directory(dialog.directory);
    const Bytes photo = MakePhoto(width, height, 3);
    ASSERT_TRUE(PixWriteBMP(dialog.base.c_str(), photo.data(), width, height));
    Bytes secret(4000);
    std::mt19937 random(5);
    for (uint8_t& b : secret) b = static_cast<uint8_t>(random());
    WriteFileBytes(dialog.data, secret);

    for (int m = 0; m < kMethodCount; ++m) {
        const auto method = static_cast<HidingMethod>(m);
        SCOPED_TRACE(GetMethodInfo(method).name);
        dialog.output = dir.File("c.png");
        fs::remove(dialog.output);
        ASSERT_EQ(EncodeRun(dialog, method), 0);
        const int found = DetectMethod(dialog, dialog.output);
        ASSERT_EQ(found, m);
        fs::remove(dir.File("out/secret.dat"));
        ASSERT_EQ(DecodeRun(dialog, method, dialog.output), 0);
        EXPECT_TRUE(ReadFileBytes(dir.File("out/secret.dat")) == secret);
        if (GetMethodInfo(method).indexed || method == MethodSealed) continue;

        dialog.output = dir.File("c.bmp");
        fs::remove(dialog.output);
        ASSERT_EQ(EncodeRun(dialog, method), 0);
        uint32_t w = 0, h = 0;
        const Bytes fromBmp = TakeBlock(PixReadBMP(dialog.output.c_str(), &w, &h));
        PixSetPNGGamma(2.2);
        const Bytes fromPng = TakeBlock(PixReadPNG(dir.File("c.png").c_str(), &w, &h));
        EXPECT_TRUE(fromPng == fromBmp);
    }
}

// A write the file system stops halfway leaves the user's file as it was
// and nothing beside it.
TEST(PngSegmentedWrite, FailedWriteLeavesNothingBehind) {
    TempDir dir;
    Threads use(2);
    const uint32_t width = 700, height = 500;  // some 700 KB of PNG
    Quiet dialog;
    dialog.base = dir.File("base.bmp");
    dialog.data = dir.File("secret.dat");
    const Bytes photo = MakePhoto(width, height, 9);
    ASSERT_TRUE(PixWriteBMP(dialog.base.c_str(), photo.data(), width, height));
    WriteFileBytes(dialog.data, Bytes(100, 42));
    dialog.output = dir.File("c.png");
    WriteFileBytes(dialog.output, {1, 2, 3});
    {
        const auto handler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit previous{};
        getrlimit(RLIMIT_FSIZE, &previous);
        rlimit limit = previous;
        limit.rlim_cur = 300000;
        setrlimit(RLIMIT_FSIZE, &limit);
        const int code = EncodeRun(dialog, Method777);
        setrlimit(RLIMIT_FSIZE, &previous);
        std::signal(SIGXFSZ, handler);
        EXPECT_EQ(code, kPixErrWrite);
    }
    EXPECT_TRUE(ReadFileBytes(dialog.output) == (Bytes{1, 2, 3}));
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir.path())) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"base.bmp", "c.png", "secret.dat"}));
}

}  // namespace
