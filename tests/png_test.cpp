// SPDX-License-Identifier: GPL-3.0-or-later
#include "imagelib/png.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/test_util.h"

namespace {

namespace fs = std::filesystem;

// ---- PNG bytes at the chunk level, to build fixtures and inspect output ----

struct Chunk {
    std::string type;
    Bytes data;
};

uint32_t Crc32(const std::string& type, const Bytes& data) {
    uint32_t crc = 0xFFFFFFFFu;
    auto feed = [&crc](uint8_t byte) {
        crc ^= byte;
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    };
    for (char c : type) feed(static_cast<uint8_t>(c));
    for (uint8_t b : data) feed(b);
    return ~crc;
}

void PutBE32(Bytes* out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out->push_back(static_cast<uint8_t>(v >> shift));
}

uint32_t GetBE32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
}

const Bytes kSignature = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};

std::vector<Chunk> ParseChunks(const Bytes& file) {
    std::vector<Chunk> chunks;
    if (file.size() < 8 || !std::equal(kSignature.begin(), kSignature.end(), file.begin())) {
        ADD_FAILURE() << "no PNG signature";
        return chunks;
    }
    size_t pos = 8;
    while (pos + 12 <= file.size()) {
        const uint32_t length = GetBE32(&file[pos]);
        if (length > file.size() - pos - 12) break;
        Chunk c{std::string(file.begin() + static_cast<long>(pos) + 4,
                            file.begin() + static_cast<long>(pos) + 8),
                Bytes(file.begin() + static_cast<long>(pos) + 8,
                      file.begin() + static_cast<long>(pos + 8 + length))};
        EXPECT_EQ(GetBE32(&file[pos + 8 + length]), Crc32(c.type, c.data)) << c.type;
        chunks.push_back(std::move(c));
        pos += 12 + length;
    }
    EXPECT_EQ(pos, file.size()) << "trailing bytes";
    return chunks;
}

Bytes Assemble(const std::vector<Chunk>& chunks) {
    Bytes out = kSignature;
    for (const Chunk& c : chunks) {
        PutBE32(&out, static_cast<uint32_t>(c.data.size()));
        out.insert(out.end(), c.type.begin(), c.type.end());
        out.insert(out.end(), c.data.begin(), c.data.end());
        PutBE32(&out, Crc32(c.type, c.data));
    }
    return out;
}

std::vector<std::string> Types(const std::vector<Chunk>& chunks) {
    std::vector<std::string> types;
    for (const Chunk& c : chunks) types.push_back(c.type);
    return types;
}

Bytes Text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

// A PNG with no image data behind its header: enough for size queries.
Bytes HeaderOnlyPng(uint32_t width, uint32_t height, uint8_t colourType) {
    Bytes ihdr;
    PutBE32(&ihdr, width);
    PutBE32(&ihdr, height);
    ihdr.insert(ihdr.end(), {8, colourType, 0, 0, 0});
    return Assemble({{"IHDR", ihdr}, {"IDAT", {}}, {"IEND", {}}});
}

// ---- reading as the application does ----

struct Decoded {
    int code = -1;
    uint32_t width = 0, height = 0;
    Bytes pixels;
};

Decoded ReadRgb(const std::string& path) {
    PixSetPNGBackground(0, 0, 0, 0, 0);
    PixSetPNGGamma(2.2);
    Decoded d;
    HGLOBAL block = PixReadPNG(path.c_str(), &d.width, &d.height);
    d.code = PixGetLastError();
    if (block == nullptr) {
        EXPECT_NE(d.code, 0);
    }
    d.pixels = TakeBlock(block);
    return d;
}

struct Indexed {
    int code = -1;
    uint32_t width = 0, height = 0;
    Bytes indices;
    std::vector<RGBQUAD> palette = std::vector<RGBQUAD>(256, RGBQUAD{0xAB, 0xAB, 0xAB, 0xAB});
};

Indexed ReadIndexed(const std::string& path) {
    Indexed d;
    HGLOBAL block = PixReadPNG8(path.c_str(), &d.width, &d.height, d.palette.data());
    d.code = PixGetLastError();
    d.indices = TakeBlock(block);
    return d;
}

Bytes ThroughPalette(const Indexed& d) {
    Bytes rgb;
    for (uint8_t i : d.indices) {
        rgb.insert(rgb.end(), {d.palette[i].rgbRed, d.palette[i].rgbGreen, d.palette[i].rgbBlue});
    }
    return rgb;
}

std::vector<PixText> TextsRead() {
    return PixState().pngTextsRead;
}

std::string TakeString(HGLOBAL block) {
    const Bytes bytes = TakeBlock(block);
    if (bytes.empty() || bytes.back() != 0) return "<bad block>";
    return std::string(bytes.begin(), bytes.end() - 1);
}

std::vector<RGBQUAD> TestPalette(int count) {
    std::vector<RGBQUAD> palette(256, RGBQUAD{0, 0, 0, 0});
    for (int k = 0; k < count; ++k) {
        palette[k] = RGBQUAD{static_cast<uint8_t>(k * 7), static_cast<uint8_t>(255 - k),
                             static_cast<uint8_t>(k * 3 + 1), 0x5A};
    }
    return palette;
}

// ---- conformance corpus ----

class PngCorpus : public ::testing::TestWithParam<CorpusRow> {};
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(PngCorpus);

TEST_P(PngCorpus, BehavesAsListed) {
    const CorpusRow& row = GetParam();
    const std::string path = CorpusDir() + "/" + row.path;
    const Decoded d = ReadRgb(path);
    if (row.expect == "fail") {
        EXPECT_EQ(d.code, kPixErrPng);
        EXPECT_TRUE(d.pixels.empty());
        EXPECT_EQ(d.width, 0u);
        EXPECT_EQ(d.height, 0u);
        return;
    }
    if (row.expect != "ok") return;  // either: only must not crash
    ASSERT_EQ(d.code, 0) << PixErrorMessage(d.code);
    ASSERT_EQ(d.pixels.size(), size_t{d.width} * d.height * 3);
    uint32_t w = 0, h = 0;
    EXPECT_TRUE(PixGetPNGSize(path.c_str(), &w, &h));
    EXPECT_EQ(w, d.width);
    EXPECT_EQ(h, d.height);
    if (row.reference.empty()) return;
    EXPECT_TRUE(MatchesReference(row, d.width, d.height, d.pixels));
}

INSTANTIATE_TEST_SUITE_P(Png, PngCorpus, ::testing::ValuesIn(CorpusRows("png")),
                         [](const auto& info) { return CorpusTestName(info.param); });

// Every interlaced file whose non-interlaced twin is in the corpus (basi0g01
// and basn0g01, and the same with gAMA removed) decodes to the twin's pixels,
// through both readers where the file has a palette.
TEST(PngInterlace, MatchesNonInterlacedTwin) {
    int pairs = 0;
    for (const char* dir : {"png/pngsuite", "png/derived"}) {
        for (const auto& entry : fs::directory_iterator(fs::path(CorpusDir()) / dir)) {
            const std::string name = entry.path().filename().string();
            if (entry.path().extension() != ".png" || name.size() < 8 || name[3] != 'i') continue;
            std::string twinName = name;
            twinName[3] = 'n';
            const fs::path twin = entry.path().parent_path() / twinName;
            if (!fs::exists(twin)) continue;
            SCOPED_TRACE(name);
            ++pairs;
            const Decoded a = ReadRgb(entry.path().string());
            const Decoded b = ReadRgb(twin.string());
            ASSERT_EQ(a.code, 0);
            ASSERT_EQ(b.code, 0);
            EXPECT_EQ(a.width, b.width);
            EXPECT_TRUE(a.pixels == b.pixels);
            if (name.substr(4, 2) == "3p") {
                const Indexed ia = ReadIndexed(entry.path().string());
                const Indexed ib = ReadIndexed(twin.string());
                ASSERT_EQ(ia.code, 0);
                EXPECT_TRUE(ia.indices == ib.indices);
                EXPECT_EQ(ThroughPalette(ia), ThroughPalette(ib));
            }
        }
    }
    EXPECT_GE(pairs, 10);
}

// The 8-bit reader's indices, looked up in its palette, are what the 24-bit
// reader gives for palette files without transparency or gamma.
TEST(PngRead8, IndicesThroughPaletteMatchRgbReader) {
    for (const char* file : {"png/derived/basn3p01-nogama.png", "png/derived/basn3p02-nogama.png",
                             "png/derived/basn3p04-nogama.png", "png/derived/basn3p08-nogama.png",
                             "png/derived/s05i3p02-nogama.png", "png/derived/s39i3p04-nogama.png",
                             "png/libpng/palette-1.png", "png/libpng/palette-8.png"}) {
        SCOPED_TRACE(file);
        const std::string path = CorpusDir() + "/" + file;
        const Indexed idx = ReadIndexed(path);
        ASSERT_EQ(idx.code, 0) << PixErrorMessage(idx.code);
        ASSERT_EQ(idx.indices.size(), size_t{idx.width} * idx.height);
        EXPECT_EQ(ThroughPalette(idx), ReadRgb(path).pixels);
        for (const RGBQUAD& entry : idx.palette) EXPECT_EQ(entry.rgbReserved, 0xAB);
    }
}

TEST(PngText, CorpusCompressionFlagsInFileOrder) {
    ASSERT_EQ(ReadRgb(CorpusDir() + "/png/pngsuite/ctzn0g04.png").code, 0);
    const std::vector<PixText> texts = TextsRead();
    ASSERT_EQ(texts.size(), 6u);
    const char* keys[] = {"Title", "Author", "Copyright", "Description", "Software", "Disclaimer"};
    for (size_t i = 0; i < texts.size(); ++i) {
        EXPECT_EQ(texts[i].key, keys[i]);
        EXPECT_EQ(texts[i].compressed, i < 2 ? 0 : 1) << keys[i];
    }
    EXPECT_NE(texts[2].text.find("Copyright"), std::string::npos);  // decompressed
}

// ---- writer ----

TEST(PngWrite, ChunksOfAWrittenFile) {
    struct Case {
        double gamma;
        bool wantGama;
    };
    for (const Case c : {Case{0.0, false}, Case{-1.0, false}, Case{2.2, true}}) {
        SCOPED_TRACE(c.gamma);
        TempDir dir;
        const std::string path = dir.File("out.png");
        const Bytes photo = MakePhoto(17, 9);
        PixSetPNGBackground(0, 1, 2, 3, 0);
        PixClearPNGText();
        EXPECT_TRUE(PixAddPNGText("Title", "Hello", 0));
        EXPECT_TRUE(PixAddPNGText("Note", "", 0));
        EXPECT_FALSE(PixAddPNGText("", "dropped", 0));
        EXPECT_EQ(PixGetLastError(), 0);
        const std::time_t before = std::time(nullptr);
        ASSERT_TRUE(PixWritePNG(path.c_str(), photo.data(), 17, 9, c.gamma));
        EXPECT_EQ(PixGetLastError(), 0);
        const std::time_t after = std::time(nullptr);

        const std::vector<Chunk> chunks = ParseChunks(ReadFileBytes(path));
        const std::vector<std::string> types = Types(chunks);
        ASSERT_FALSE(types.empty());
        EXPECT_EQ(types.front(), "IHDR");
        EXPECT_EQ(types.back(), "IEND");
        EXPECT_EQ(chunks[0].data[8], 8);  // bit depth
        EXPECT_EQ(chunks[0].data[9], 2);  // colour type RGB
        const auto firstIdat = std::find(types.begin(), types.end(), "IDAT") - types.begin();
        std::vector<Bytes> texts;
        bool sawGama = false, sawTime = false, sawBkgd = false, sawPhys = false;
        for (size_t i = 0; i < chunks.size(); ++i) {
            const Chunk& k = chunks[i];
            if (k.type == "tEXt") {
                texts.push_back(k.data);
                EXPECT_LT(static_cast<long>(i), firstIdat);
            } else if (k.type == "gAMA") {
                sawGama = true;
                EXPECT_EQ(GetBE32(k.data.data()), 220000u);
            } else if (k.type == "tIME") {
                sawTime = true;
                ASSERT_EQ(k.data.size(), 7u);
                std::tm stamp{};
                stamp.tm_year = (k.data[0] << 8 | k.data[1]) - 1900;
                stamp.tm_mon = k.data[2] - 1;
                stamp.tm_mday = k.data[3];
                stamp.tm_hour = k.data[4];
                stamp.tm_min = k.data[5];
                stamp.tm_sec = k.data[6];
                const std::time_t t = timegm(&stamp);  // the chunk is UTC
                EXPECT_GE(t, before - 1);
                EXPECT_LE(t, after + 1);
            } else if (k.type == "bKGD") {
                sawBkgd = true;
                EXPECT_EQ(k.data, (Bytes{0, 1, 0, 2, 0, 3}));
            } else if (k.type == "pHYs") {
                sawPhys = true;
                EXPECT_EQ(k.data, (Bytes{0, 0, 0, 1, 0, 0, 0, 1, 0}));
            }
        }
        EXPECT_EQ(sawGama, c.wantGama);
        EXPECT_TRUE(sawTime && sawBkgd && sawPhys);
        ASSERT_EQ(texts.size(), 2u);
        EXPECT_EQ(texts[0], Text(std::string("Title\0Hello", 11)));
        EXPECT_EQ(texts[1], Text(std::string("Note\0", 5)));

        if (!c.wantGama) {
            const Decoded d = ReadRgb(path);
            ASSERT_EQ(d.code, 0);
            EXPECT_EQ(d.width, 17u);
            EXPECT_TRUE(d.pixels == photo);
        }
    }
}

TEST(PngWrite, TextListEmptiedBySuccessKeptByFailure) {
    TempDir dir;
    const Bytes photo = MakePhoto(4, 4);
    PixClearPNGText();
    PixAddPNGText("A", "1", 0);
    PixAddPNGText("B", "2", 1);
    EXPECT_FALSE(PixWritePNG(dir.File("no/such/dir.png").c_str(), photo.data(), 4, 4, 0.0));
    EXPECT_EQ(PixGetLastError(), kPixErrOpen);
    EXPECT_EQ(PixState().pngTextsWrite.size(), 2u);
    if (fs::exists("/dev/full")) {
        // A small file is lost only when stdio flushes it at close, a large
        // one already inside libpng's writes: a full disk either way.
        EXPECT_FALSE(PixWritePNG("/dev/full", photo.data(), 4, 4, 0.0));
        EXPECT_EQ(PixGetLastError(), kPixErrWrite);
        const Bytes big = MakePhoto(256, 256);
        EXPECT_FALSE(PixWritePNG("/dev/full", big.data(), 256, 256, 0.0));
        EXPECT_EQ(PixGetLastError(), kPixErrWrite);
        EXPECT_EQ(PixState().pngTextsWrite.size(), 2u);
    }

    const std::string first = dir.File("first.png");
    ASSERT_TRUE(PixWritePNG(first.c_str(), photo.data(), 4, 4, 0.0));
    EXPECT_TRUE(PixState().pngTextsWrite.empty());
    const std::vector<std::string> types = Types(ParseChunks(ReadFileBytes(first)));
    EXPECT_EQ(std::count(types.begin(), types.end(), "tEXt"), 1);
    EXPECT_EQ(std::count(types.begin(), types.end(), "zTXt"), 1);

    const std::string second = dir.File("second.png");
    ASSERT_TRUE(PixWritePNG(second.c_str(), photo.data(), 4, 4, 0.0));
    const std::vector<std::string> again = Types(ParseChunks(ReadFileBytes(second)));
    EXPECT_EQ(std::count(again.begin(), again.end(), "tEXt"), 0);
    EXPECT_EQ(std::count(again.begin(), again.end(), "zTXt"), 0);
}

// Refused writes touch no file: an existing one keeps its bytes.
TEST(PngWrite, RefusedWritesLeaveExistingFile) {
    struct Case {
        const char* name;
        bool nullPixels;
        uint32_t rowBytes;
        int depth, colours, colourType;
        bool withPalette;
        int want;
    };
    const Case cases[] = {
        {"NullPixels", true, 12, 8, 0, 2, false, kPixErrParam},
        {"RowShorterThanWidth", false, 11, 8, 0, 2, false, kPixErrParam},
        {"Row16BitTooShort", false, 12, 16, 0, 2, false, kPixErrParam},
        {"PaletteCountOver256", false, 4, 8, 257, 3, true, kPixErrParam},
        {"PaletteCountNegative", false, 4, 8, -1, 3, true, kPixErrParam},
        {"RgbAtFourBits", false, 12, 4, 0, 2, false, kPixErrPngCreate},
        {"ColourTypeFive", false, 12, 8, 0, 5, false, kPixErrPngCreate},
        {"PaletteWithoutPLTE", false, 4, 8, 0, 3, false, kPixErrPngCreate},
        {"PaletteTooBigForDepth", false, 4, 2, 5, 3, true, kPixErrPngCreate},
    };
    TempDir dir;
    const std::string path = dir.File("keep.png");
    const Bytes original = Text("precious bytes");
    const Bytes pixels(4 * 4 * 8, 1);
    const std::vector<RGBQUAD> palette = TestPalette(256);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFileBytes(path, original);
        EXPECT_FALSE(PixWritePNGEx(
            path.c_str(), c.nullPixels ? nullptr : pixels.data(), 4, 4, c.rowBytes, c.depth,
            c.colours, c.withPalette ? palette.data() : nullptr, c.colourType, 0.0, 0, 0));
        EXPECT_EQ(PixGetLastError(), c.want);
        EXPECT_EQ(ReadFileBytes(path), original);
    }
}

// 16-bit samples come back as their high byte; packed grey as R = G = B.
TEST(PngWrite, DeepAndPackedSamplesReadBack) {
    TempDir dir;
    const std::string deep = dir.File("deep.png");
    const Bytes rgb16 = {0x12, 0xFF, 0x34, 0x00, 0xAB, 0x80, 0xFF, 0xFF, 0x00, 0x01, 0x7F, 0x7F};
    ASSERT_TRUE(PixWritePNGEx(deep.c_str(), rgb16.data(), 2, 1, 12, 16, 0, nullptr, 2, 0.0, 0, 0));
    const Decoded d = ReadRgb(deep);
    ASSERT_EQ(d.code, 0);
    EXPECT_EQ(d.pixels, (Bytes{0x12, 0x34, 0xAB, 0xFF, 0x00, 0x7F}));

    const std::string grey = dir.File("grey2.png");
    const Bytes levels = {0, 1, 2, 3, 3};
    ASSERT_TRUE(PixWritePNGEx(grey.c_str(), levels.data(), 5, 1, 5, 2, 0, nullptr, 0, 0.0, 0, 1));
    const Decoded g = ReadRgb(grey);
    ASSERT_EQ(g.code, 0);
    EXPECT_EQ(g.pixels, (Bytes{0, 0, 0, 85, 85, 85, 170, 170, 170, 255, 255, 255, 255, 255, 255}));
}

// ---- reader ----

// Transparent pixels take the file's bKGD colour, or the thread's background
// when the file has none; opaque ones stay as they are.
TEST(PngRead, TransparencyFlattenedAgainstBackground) {
    TempDir dir;
    const std::string with = dir.File("with.png");
    const Bytes rgba = {200, 100, 50, 255, 9, 9, 9, 0};
    PixSetPNGBackground(0, 10, 20, 30, 0);  // the writer's bKGD
    ASSERT_TRUE(PixWritePNGEx(with.c_str(), rgba.data(), 2, 1, 8, 8, 0, nullptr, 6, 0.0, 0, 0));
    EXPECT_EQ(ReadRgb(with).pixels, (Bytes{200, 100, 50, 10, 20, 30}));

    std::vector<Chunk> chunks = ParseChunks(ReadFileBytes(with));
    std::erase_if(chunks, [](const Chunk& c) { return c.type == "bKGD"; });
    const std::string without = dir.File("without.png");
    WriteFileBytes(without, Assemble(chunks));
    PixSetPNGGamma(2.2);
    PixSetPNGBackground(0, 40, 50, 60, 0);
    uint32_t w = 0, h = 0;
    EXPECT_EQ(TakeBlock(PixReadPNG(without.c_str(), &w, &h)), (Bytes{200, 100, 50, 40, 50, 60}));
}

// Correction happens only when screen gamma x file gamma is off 1 by more
// than 0.05; a file without gAMA is never corrected.
TEST(PngRead, GammaCorrectionOnlyWhenSignificant) {
    struct Case {
        double fileGamma, screenGamma;
        bool changed;
    };
    const Case cases[] = {{0.0, 2.2, false},     {0.0, 2.9, false},     {0.45455, 2.2, false},
                          {0.45455, 2.9, true},  {2.2, 2.2, true},      {1.0, 1.0, false},
                          {0.45455, 0.0, false}, {0.45455, -3.0, false}};
    TempDir dir;
    const Bytes photo = MakePhoto(16, 8);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.fileGamma << " at " << c.screenGamma);
        const std::string path = dir.File("g.png");
        ASSERT_TRUE(PixWritePNG(path.c_str(), photo.data(), 16, 8, c.fileGamma));
        PixSetPNGGamma(c.screenGamma);
        uint32_t w = 0, h = 0;
        const Bytes got = TakeBlock(PixReadPNG(path.c_str(), &w, &h));
        ASSERT_EQ(PixGetLastError(), 0);
        EXPECT_EQ(got != photo, c.changed);
    }
}

// iTXt, compressed or not, reads as a text with its chunk kind kept for the
// writer; a zTXt whose stream is cut short is dropped, not read in part.
TEST(PngRead, InternationalTextsKeepTheirKindAndDamagedOnesAreDropped) {
    TempDir dir;
    const std::string written = dir.File("zipped.png");
    const Bytes photo = MakePhoto(3, 3);
    PixClearPNGText();
    PixAddPNGText("Zipped", "two two two two", 1);
    ASSERT_TRUE(PixWritePNG(written.c_str(), photo.data(), 3, 3, 0.0));
    std::vector<Chunk> chunks = ParseChunks(ReadFileBytes(written));
    const auto z =
        std::find_if(chunks.begin(), chunks.end(), [](const Chunk& c) { return c.type == "zTXt"; });
    ASSERT_NE(z, chunks.end());
    const Bytes stream(z->data.begin() + 8, z->data.end());  // past "Zipped\0" and the method

    Bytes packed = Text(std::string("Intl\0\1\0en\0\0", 11));
    packed.insert(packed.end(), stream.begin(), stream.end());
    Bytes broken = Text(std::string("Broken\0\0", 8));
    broken.insert(broken.end(), stream.begin(), stream.begin() + stream.size() / 2);
    chunks.insert(chunks.begin() + 1, {{"iTXt", packed},
                                       {"iTXt", Text(std::string("Plain\0\0\0\0\0text", 14))},
                                       {"zTXt", broken}});
    const std::string path = dir.File("international.png");
    WriteFileBytes(path, Assemble(chunks));

    ASSERT_EQ(ReadRgb(path).code, 0);
    const std::vector<PixText> texts = TextsRead();
    ASSERT_EQ(texts.size(), 3u);
    std::vector<std::string> keys, values;
    std::vector<int> kinds, compressed;
    for (const PixText& t : texts) {
        keys.push_back(t.key);
        values.push_back(t.text);
        kinds.push_back(t.kind);
        compressed.push_back(t.compressed);
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"Intl", "Plain", "Zipped"}));
    EXPECT_EQ(values, (std::vector<std::string>{"two two two two", "text", "two two two two"}));
    EXPECT_EQ(kinds, (std::vector<int>{2, 1, 0}));
    EXPECT_EQ(compressed, (std::vector<int>{1, 0, 1}));
}

TEST(PngRead, TextsBeforeAndAfterImageDataInOrder) {
    TempDir dir;
    const std::string written = dir.File("texts.png");
    const Bytes photo = MakePhoto(3, 3);
    PixClearPNGText();
    PixAddPNGText("Before", "one", 0);
    PixAddPNGText("Zipped", "two two two two", 1);
    ASSERT_TRUE(PixWritePNG(written.c_str(), photo.data(), 3, 3, 0.0));

    // Move the zTXt chunk behind the image data and add a tEXt after it.
    std::vector<Chunk> chunks = ParseChunks(ReadFileBytes(written));
    const auto z =
        std::find_if(chunks.begin(), chunks.end(), [](const Chunk& c) { return c.type == "zTXt"; });
    ASSERT_NE(z, chunks.end());
    const Chunk zipped = *z;
    chunks.erase(z);
    chunks.insert(chunks.end() - 1, {zipped, {"tEXt", Text(std::string("After\0three", 11))}});
    const std::string path = dir.File("moved.png");
    WriteFileBytes(path, Assemble(chunks));

    ASSERT_EQ(ReadRgb(path).code, 0);
    ASSERT_EQ(PixGetPNGTextCount(), 3);
    const std::vector<PixText> texts = TextsRead();
    EXPECT_EQ(texts[0].key, "Before");
    EXPECT_EQ(texts[1].key, "Zipped");
    EXPECT_EQ(texts[1].text, "two two two two");
    EXPECT_EQ(texts[2].key, "After");
    EXPECT_EQ((std::vector<int>{texts[0].compressed, texts[1].compressed, texts[2].compressed}),
              (std::vector<int>{0, 1, 0}));
}

TEST(PngRead, TextQueries) {
    TempDir dir;
    const std::string path = dir.File("t.png");
    const Bytes photo = MakePhoto(2, 2);
    PixClearPNGText();
    PixAddPNGText("Key", "Value text", 1);
    PixAddPNGText("Empty", "", 0);
    ASSERT_TRUE(PixWritePNG(path.c_str(), photo.data(), 2, 2, 0.0));
    ASSERT_EQ(ReadRgb(path).code, 0);

    EXPECT_EQ(PixGetPNGTextCompressed(0), 1);
    EXPECT_EQ(PixGetPNGTextCompressed(1), 0);
    EXPECT_EQ(PixGetPNGTextCount(), 2);
    EXPECT_EQ(TakeString(PixGetPNGTextKey(0)), "Key");
    EXPECT_EQ(TakeString(PixGetPNGTextValue(0)), "Value text");
    EXPECT_EQ(TakeString(PixGetPNGTextValue(1)), "");
    EXPECT_EQ(PixGetLastError(), 0);
    for (int bad : {2, 3, -1}) {
        EXPECT_EQ(PixGetPNGTextKey(bad), nullptr) << bad;
        EXPECT_EQ(PixGetLastError(), kPixErrParam);
        EXPECT_EQ(PixGetPNGTextValue(bad), nullptr) << bad;
        EXPECT_EQ(PixGetLastError(), kPixErrParam);
        EXPECT_EQ(PixGetPNGTextCompressed(bad), -1) << bad;
        EXPECT_EQ(PixGetLastError(), kPixErrParam);
    }
    PixAddPNGText("Pending", "x", 0);
    PixClearPNGText();  // empties both lists
    EXPECT_EQ(PixGetLastError(), 0);
    EXPECT_EQ(PixGetPNGTextCount(), 0);
    EXPECT_TRUE(PixState().pngTextsWrite.empty());
}

TEST(PngRead, FailuresLeaveNoPictureAndTheirCode) {
    TempDir dir;
    const std::string good = dir.File("good.png");
    const Bytes photo = MakePhoto(40, 30);
    PixClearPNGText();
    PixAddPNGText("Kept", "yes", 0);
    PixSetPNGBackground(0, 0, 0, 0, 0);
    ASSERT_TRUE(PixWritePNG(good.c_str(), photo.data(), 40, 30, 0.0));
    const Bytes file = ReadFileBytes(good);

    // A missing file leaves the texts of the previous read in place.
    ASSERT_EQ(ReadRgb(good).code, 0);
    const Decoded missing = ReadRgb(dir.File("missing.png"));
    EXPECT_EQ(missing.code, kPixErrOpen);
    EXPECT_EQ(PixGetPNGTextCount(), 1);

    // A text chunk just over the 8 MB chunk limit: libpng only warns about
    // it and would buffer it whole, whatever length the header claims.
    std::vector<Chunk> chunks = ParseChunks(file);
    chunks.insert(chunks.end() - 1,
                  {"tEXt", Text(std::string("Big\0", 4) + std::string((8u << 20) - 3, 'x'))});
    const Bytes bigText = Assemble(chunks);

    struct Case {
        const char* name;
        Bytes bytes;
        int want;
    };
    const Case cases[] = {
        {"TextChunkOverLimit", bigText, kPixErrPng},
        {"Truncated", Bytes(file.begin(), file.begin() + static_cast<long>(file.size() / 2)),
         kPixErrPng},
        {"NoIend", Bytes(file.begin(), file.end() - 12), kPixErrPng},
        {"NotAPng", Text("BM this is not a PNG file at all, not even close"), kPixErrPng},
        {"Empty", {}, kPixErrPng},
        {"ZeroWidth", HeaderOnlyPng(0, 5, 2), kPixErrPng},
        {"Over2To30Pixels", HeaderOnlyPng(65536, 16385, 2), kPixErrMemory},
        {"SideOver2To30", HeaderOnlyPng((1u << 30) + 1, 1, 2), kPixErrMemory},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(ReadRgb(good).code, 0);  // texts read: one
        const std::string path = dir.File("bad.png");
        WriteFileBytes(path, c.bytes);
        const Decoded d = ReadRgb(path);
        EXPECT_EQ(d.code, c.want);
        EXPECT_TRUE(d.pixels.empty());
        EXPECT_EQ(d.width, 0u);
        EXPECT_EQ(d.height, 0u);
        EXPECT_EQ(PixGetPNGTextCount(), 0);
    }
}

TEST(PngSize, HeaderOnlyAndCodes) {
    TempDir dir;
    const std::string path = dir.File("big.png");
    WriteFileBytes(path, HeaderOnlyPng(65536, 16385, 2));  // no image data needed
    uint32_t w = 7, h = 7;
    EXPECT_TRUE(PixGetPNGSize(path.c_str(), &w, &h));
    EXPECT_EQ(PixGetLastError(), 0);
    EXPECT_EQ(w, 65536u);
    EXPECT_EQ(h, 16385u);

    EXPECT_FALSE(PixGetPNGSize(dir.File("missing.png").c_str(), &w, &h));
    EXPECT_EQ(PixGetLastError(), kPixErrOpen);
    EXPECT_EQ(w, 0u);
    WriteFileBytes(path, Text("GIF89a, not a PNG at all, sorry"));
    EXPECT_FALSE(PixGetPNGSize(path.c_str(), &w, &h));
    EXPECT_EQ(PixGetLastError(), kPixErrPng);
    EXPECT_FALSE(PixGetPNGSize(path.c_str(), nullptr, &h));
    EXPECT_EQ(PixGetLastError(), kPixErrParam);
}

// ---- 8-bit palette reader ----

// What the program writes as an 8-bit palette PNG comes back index for index,
// at every palette depth, interlaced or not.
TEST(PngRead8, RoundTripOfPaletteWrites) {
    struct Case {
        int depth;
        int interlace;
        double gamma;
    };
    const Case cases[] = {{1, 0, 0.0}, {2, 0, 0.0}, {4, 0, 0.0}, {8, 0, 2.2},
                          {1, 1, 0.0}, {2, 1, 0.0}, {4, 1, 0.0}, {8, 1, 0.0}};
    TempDir dir;
    std::mt19937 random(7);
    const uint32_t width = 13, height = 11;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.depth << " bits, interlace " << c.interlace);
        const int count = c.depth == 8 ? 256 : (1 << c.depth) - 1;  // a short PLTE below 8
        Bytes indices(width * height);
        for (uint8_t& i : indices) i = static_cast<uint8_t>(random() % count);
        const std::vector<RGBQUAD> palette = TestPalette(count);
        const std::string path = dir.File("p.png");
        ASSERT_TRUE(PixWritePNGEx(path.c_str(), indices.data(), width, height, width, c.depth,
                                  count, palette.data(), 3, c.gamma, 0, c.interlace));
        const Indexed got = ReadIndexed(path);
        ASSERT_EQ(got.code, 0) << PixErrorMessage(got.code);
        EXPECT_EQ(got.width, width);
        EXPECT_EQ(got.height, height);
        EXPECT_TRUE(got.indices == indices);
        for (int k = 0; k < 256; ++k) {
            const RGBQUAD want = k < count ? palette[k] : RGBQUAD{0, 0, 0, 0};
            EXPECT_EQ(got.palette[k].rgbRed, want.rgbRed) << k;
            EXPECT_EQ(got.palette[k].rgbGreen, want.rgbGreen) << k;
            EXPECT_EQ(got.palette[k].rgbBlue, want.rgbBlue) << k;
            EXPECT_EQ(got.palette[k].rgbReserved, 0xAB) << k;
        }
    }
}

TEST(PngRead8, RefusesAnythingButPalette) {
    TempDir dir;
    const Bytes photo = MakePhoto(6, 4);
    const std::string rgb = dir.File("rgb.png");
    const std::string grey = dir.File("grey.png");
    ASSERT_TRUE(PixWritePNG(rgb.c_str(), photo.data(), 6, 4, 0.0));
    ASSERT_TRUE(PixWritePNGEx(grey.c_str(), photo.data(), 6, 4, 6, 8, 0, nullptr, 0, 0.0, 0, 0));
    const std::string huge = dir.File("huge.png");
    WriteFileBytes(huge, HeaderOnlyPng(65536, 16385, 3));
    const std::string junk = dir.File("junk.png");
    WriteFileBytes(junk, Text("not a png"));
    struct Case {
        std::string path;
        int want;
    };
    for (const Case& c :
         {Case{rgb, kPixErrDepth}, Case{grey, kPixErrDepth}, Case{huge, kPixErrMemory},
          Case{junk, kPixErrPng}, Case{dir.File("missing.png"), kPixErrOpen}}) {
        SCOPED_TRACE(c.path);
        const Indexed d = ReadIndexed(c.path);
        EXPECT_EQ(d.code, c.want);
        EXPECT_TRUE(d.indices.empty());
        EXPECT_EQ(d.width, 0u);
        EXPECT_EQ(d.palette[0].rgbRed, 0xAB);  // palette untouched
    }
    uint32_t w = 0, h = 0;
    EXPECT_EQ(PixReadPNG8(rgb.c_str(), &w, &h, nullptr), nullptr);
    EXPECT_EQ(PixGetLastError(), kPixErrParam);
}

// ---- per-thread settings and lists ----

TEST(PngSettings, SettersLeaveTheLastError) {
    PixSetLastError(kPixErrPng);
    PixSetPNGGamma(2.2);
    PixSetPNGBackground(0, 1, 2, 3, 0);
    EXPECT_EQ(PixGetLastError(), kPixErrPng);
}

TEST(PngThreads, SettingsAndListsArePerThread) {
    TempDir dir;
    const Bytes photo = MakePhoto(5, 5);
    const std::string withText = dir.File("with.png");
    PixClearPNGText();
    PixAddPNGText("Shared?", "no", 0);
    ASSERT_TRUE(PixWritePNG(withText.c_str(), photo.data(), 5, 5, 0.0));

    PixSetPNGGamma(1.7);
    PixSetPNGBackground(0, 9, 9, 9, 0);
    PixAddPNGText("MainOnly", "x", 0);
    std::thread([&] {
        EXPECT_EQ(PixSetPNGGamma(2.2), 2.9);  // a fresh thread starts from the defaults
        EXPECT_EQ(PixState().background.red, 0);
        EXPECT_TRUE(PixState().pngTextsWrite.empty());
        uint32_t w = 0, h = 0;
        TakeBlock(PixReadPNG(withText.c_str(), &w, &h));
        EXPECT_EQ(PixGetPNGTextCount(), 1);
        const std::string path = dir.File("thread.png");
        ASSERT_TRUE(PixWritePNG(path.c_str(), photo.data(), 5, 5, 0.0));
        const std::vector<std::string> types = Types(ParseChunks(ReadFileBytes(path)));
        EXPECT_EQ(std::count(types.begin(), types.end(), "tEXt"), 0);
    }).join();
    EXPECT_EQ(PixSetPNGGamma(2.2), 1.7);
    EXPECT_EQ(PixState().background.red, 9);
    EXPECT_EQ(PixGetPNGTextCount(), 0);
    ASSERT_EQ(PixState().pngTextsWrite.size(), 1u);
    EXPECT_EQ(PixState().pngTextsWrite[0].key, "MainOnly");
}

TEST(PngThreads, ConcurrentReadsAndWrites) {
    TempDir dir;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&dir, t] {
            const Bytes photo = MakePhoto(64, 48, static_cast<uint32_t>(t + 1));
            const std::string path = dir.File("c" + std::to_string(t) + ".png");
            const std::string key = "Thread" + std::to_string(t);
            for (int round = 0; round < 5; ++round) {
                PixAddPNGText(key.c_str(), "v", 0);
                ASSERT_TRUE(PixWritePNG(path.c_str(), photo.data(), 64, 48, 0.0));
                const Decoded d = ReadRgb(path);
                ASSERT_EQ(d.code, 0);
                EXPECT_TRUE(d.pixels == photo);
                ASSERT_EQ(PixGetPNGTextCount(), 1);
                EXPECT_EQ(TakeString(PixGetPNGTextKey(0)), key);
            }
        });
    }
    for (std::thread& t : threads) t.join();
}

}  // namespace
