// SPDX-License-Identifier: GPL-3.0-or-later
// Reading only the top rows of a picture: for every corpus file a reader
// decodes whole, the rows read alone equal the same rows of the whole read,
// byte for byte, with the same size and palette.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "imagelib/pix.h"
#include "tests/test_util.h"

namespace {

using ReadWhole = HGLOBAL (*)(const char*, uint32_t*, uint32_t*, RGBQUAD*);
using ReadRows = HGLOBAL (*)(const char*, uint32_t*, uint32_t*, RGBQUAD*, uint32_t, uint32_t*);

// The 24-bit readers in the 8-bit readers' shape; the palette plays no part.
template <HGLOBAL (*Whole)(const char*, uint32_t*, uint32_t*)>
HGLOBAL Whole24(const char* path, uint32_t* width, uint32_t* height, RGBQUAD*) {
    return Whole(path, width, height);
}
template <HGLOBAL (*Rows)(const char*, uint32_t*, uint32_t*, uint32_t, uint32_t*)>
HGLOBAL Rows24(const char* path, uint32_t* width, uint32_t* height, RGBQUAD*, uint32_t rows,
               uint32_t* taken) {
    return Rows(path, width, height, rows, taken);
}

struct Reader {
    const char* name;
    const char* format;
    size_t pixelBytes;
    ReadWhole whole;
    ReadRows rows;
};

const Reader kReaders[] = {
    {"BMP", "bmp", 3, Whole24<PixReadBMP>, Rows24<PixReadBMPRows>},
    {"BMP8", "bmp", 1, PixReadBMP8, PixReadBMP8Rows},
    {"PCX", "pcx", 3, Whole24<PixReadPCX>, Rows24<PixReadPCXRows>},
    {"PCX8", "pcx", 1, PixReadPCX8, PixReadPCX8Rows},
    {"PNG", "png", 3, Whole24<PixReadPNG>, Rows24<PixReadPNGRows>},
    {"PNG8", "png", 1, PixReadPNG8, PixReadPNG8Rows},
    {"TIFF", "tiff", 3, Whole24<PixReadTIFF>, Rows24<PixReadTIFFRows>},
    {"TIFF8", "tiff", 1, PixReadTIFF8, PixReadTIFF8Rows},
};

struct Case {
    const Reader* reader;
    CorpusRow row;
};

struct Whole {
    uint32_t width = 0, height = 0;
    std::vector<RGBQUAD> palette = std::vector<RGBQUAD>(256, RGBQUAD{1, 2, 3, 4});
    Bytes pixels;
};

Whole ReadWholly(const Reader& reader, const std::string& path) {
    Whole whole;
    whole.pixels =
        TakeBlock(reader.whole(path.c_str(), &whole.width, &whole.height, whole.palette.data()));
    return whole;
}

// Every corpus file each reader decodes whole.
std::vector<Case> AllCases() {
    std::vector<Case> cases;
    for (const Reader& reader : kReaders) {
        for (const CorpusRow& row : CorpusRows(reader.format)) {
            const Whole whole = ReadWholly(reader, CorpusDir() + "/" + row.path);
            if (!whole.pixels.empty() && whole.width != 0 && whole.height != 0)
                cases.push_back({&reader, row});
        }
    }
    return cases;
}

void PrintTo(const Case& c, std::ostream* out) {
    *out << c.reader->name << " " << c.row.path;
}

class TopRows : public ::testing::TestWithParam<Case> {};

TEST_P(TopRows, EqualTheWholeReadsTopRows) {
    const Reader& reader = *GetParam().reader;
    const std::string path = CorpusDir() + "/" + GetParam().row.path;
    const Whole whole = ReadWholly(reader, path);
    ASSERT_EQ(PixGetLastError(), 0);
    const uint32_t width = whole.width, height = whole.height;
    const size_t rowBytes = size_t{width} * reader.pixelBytes;
    ASSERT_GE(whole.pixels.size(), rowBytes * height);

    for (uint32_t wanted : {1u, 2u, 3u, height / 2, height - 1, height, height + 7}) {
        SCOPED_TRACE(wanted);
        uint32_t w = 0, h = 0, taken = 0;
        std::vector<RGBQUAD> rowsPalette(256, RGBQUAD{1, 2, 3, 4});
        const Bytes top =
            TakeBlock(reader.rows(path.c_str(), &w, &h, rowsPalette.data(), wanted, &taken));
        ASSERT_EQ(PixGetLastError(), 0);
        EXPECT_EQ(w, width);
        EXPECT_EQ(h, height);
        ASSERT_GE(taken, std::min(wanted, height));
        ASSERT_LE(taken, height);
        ASSERT_GE(top.size(), rowBytes * taken);
        EXPECT_TRUE(std::equal(top.begin(), top.begin() + rowBytes * taken, whole.pixels.begin()));
        EXPECT_TRUE(std::equal(whole.palette.begin(), whole.palette.end(), rowsPalette.begin(),
                               [](const RGBQUAD& a, const RGBQUAD& b) {
                                   return a.rgbRed == b.rgbRed && a.rgbGreen == b.rgbGreen &&
                                          a.rgbBlue == b.rgbBlue && a.rgbReserved == b.rgbReserved;
                               }));
    }
}

INSTANTIATE_TEST_SUITE_P(Corpus, TopRows, ::testing::ValuesIn(AllCases()), [](const auto& info) {
    return std::string(info.param.reader->name) + "_" + CorpusTestName(info.param.row);
});

// Rows below those read may be missing: a file cut short reads as far as it
// goes, and the whole read still refuses it.
TEST(TopRowsOfACutFile, ReadWhereTheWholeFails) {
    TempDir dir;
    constexpr uint32_t kWidth = 300, kHeight = 200;  // PNG: several IDAT chunks
    const Bytes photo = MakePhoto(kWidth, kHeight);
    struct Format {
        const char* file;
        BOOL (*write)(const char*, const uint8_t*, uint32_t, uint32_t);
        const Reader& reader;
    };
    const Format formats[] = {
        {"cut.pcx", PixWritePCX, kReaders[2]},
        {"cut.png",
         [](const char* p, const uint8_t* px, uint32_t w, uint32_t h) {
             return PixWritePNG(p, px, w, h, 0.0);
         },
         kReaders[4]},
    };
    for (const Format& format : formats) {
        SCOPED_TRACE(format.file);
        const std::string path = dir.File(format.file);
        ASSERT_TRUE(format.write(path.c_str(), photo.data(), kWidth, kHeight));
        Bytes bytes = ReadFileBytes(path);
        bytes.resize(bytes.size() / 2);
        WriteFileBytes(path, bytes);

        uint32_t w = 0, h = 0, taken = 0;
        EXPECT_EQ(TakeBlock(format.reader.whole(path.c_str(), &w, &h, nullptr)), Bytes{});
        EXPECT_NE(PixGetLastError(), 0);
        const Bytes top = TakeBlock(format.reader.rows(path.c_str(), &w, &h, nullptr, 3, &taken));
        ASSERT_EQ(PixGetLastError(), 0);
        EXPECT_EQ(h, kHeight);
        ASSERT_EQ(taken, 3u);
        EXPECT_EQ(top, Bytes(photo.begin(), photo.begin() + 3 * kWidth * 3));
    }
}

}  // namespace
