// SPDX-License-Identifier: GPL-3.0-or-later
#include "imagelib/jpeg.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/test_util.h"

namespace {

bool HasMarker(const Bytes& f, uint8_t marker) {
    const auto m = Markers(f);
    return std::any_of(m.begin(), m.end(), [&](const Segment& s) { return s.marker == marker; });
}

Bytes ReadJpg(const std::string& path, uint32_t* w, uint32_t* h) {
    HGLOBAL block = PixReadJPG(path.c_str(), w, h);
    return block ? TakeBlock(block) : Bytes{};
}

// Comments read by the last PixReadJPG, through the public queries.
std::vector<std::string> CommentsRead() {
    std::vector<std::string> out;
    for (int i = 0; i < PixGetJPGCommentCount(); ++i) {
        const Bytes b = TakeBlock(PixGetJPGComment(i));
        out.emplace_back(reinterpret_cast<const char*>(b.data()));
    }
    return out;
}

// A picture of flat 8 x 8 tiles, which a quality-100 JPEG keeps exactly.
Bytes Tiles(uint32_t w, uint32_t h, const std::vector<std::array<uint8_t, 3>>& colours) {
    Bytes rgb(size_t{w} * h * 3);
    for (uint32_t y = 0; y < h; ++y) {
        for (uint32_t x = 0; x < w; ++x) {
            const auto& c = colours[(y / 8 * (w / 8) + x / 8) % colours.size()];
            std::copy(c.begin(), c.end(), rgb.begin() + (size_t{y} * w + x) * 3);
        }
    }
    return rgb;
}

class JpegTest : public ::testing::Test {
  protected:
    void SetUp() override { PixClearJPGComments(); }
    void TearDown() override { PixClearJPGComments(); }
    TempDir dir;
};

}  // namespace

// --- conformance corpus ---

class JpegCorpus : public ::testing::TestWithParam<CorpusRow> {};

TEST_P(JpegCorpus, BehavesAsListed) {
    const CorpusRow& row = GetParam();
    const std::string path = CorpusDir() + "/" + row.path;
    uint32_t w = 7, h = 7;
    HGLOBAL block = PixReadJPG(path.c_str(), &w, &h);
    const int code = PixGetLastError();
    if (row.expect == "fail") {
        EXPECT_EQ(block, nullptr);
        EXPECT_EQ(code, kPixErrJpg);
        EXPECT_EQ(w, 0u);
        EXPECT_EQ(h, 0u);
        GlobalFree(block);
        return;
    }
    if (block == nullptr) {
        EXPECT_EQ(row.expect, "either") << "code " << code;
        return;
    }
    EXPECT_EQ(code, 0);
    const Bytes pixels = TakeBlock(block);
    if (row.reference.empty()) return;
    EXPECT_TRUE(MatchesReference(row, w, h, pixels));

    uint32_t sw = 0, sh = 0;
    EXPECT_TRUE(PixGetJPGSize(path.c_str(), &sw, &sh));
    EXPECT_EQ(sw, w);
    EXPECT_EQ(sh, h);
}

INSTANTIATE_TEST_SUITE_P(Jpeg, JpegCorpus, ::testing::ValuesIn(CorpusRows("jpeg")),
                         [](const auto& info) { return CorpusTestName(info.param); });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(JpegCorpus);

TEST(JpegCorpusComments, TwoCommentsInFileOrderCutAtZero) {
    uint32_t w, h;
    ReadJpg(CorpusDir() + "/jpeg/synth/two_comments.jpg", &w, &h);
    ASSERT_EQ(PixGetLastError(), 0);
    EXPECT_EQ(CommentsRead(), (std::vector<std::string>{"first comment", "second"}));
}

// --- comments ---

TEST_F(JpegTest, CommentsRoundTripInOrderWithoutEmptyOnes) {
    const Bytes rgb = MakePhoto(16, 16);
    for (const char* c : {"first", "", "second#hidden", "third"}) EXPECT_TRUE(PixAddJPGComment(c));
    const std::string path = dir.File("c.jpg");
    ASSERT_TRUE(PixWriteJPG(path.c_str(), rgb.data(), 16, 16, 75, 1, 0));

    Bytes file = ReadFileBytes(path);
    const auto markers = Markers(file);
    EXPECT_EQ(std::count_if(markers.begin(), markers.end(),
                            [](const Segment& s) { return s.marker == 0xFE; }),
              3);  // the empty comment is not written
    auto hash = std::find(file.begin(), file.end(), '#');
    ASSERT_NE(hash, file.end());
    *hash = 0;
    WriteFileBytes(path, file);

    uint32_t w, h;
    EXPECT_EQ(ReadJpg(path, &w, &h).size(), 16u * 16 * 3);
    EXPECT_EQ(CommentsRead(), (std::vector<std::string>{"first", "second", "third"}));

    // The list to write survives a write and is emptied only by a clear,
    // which leaves the comments read alone.
    ASSERT_TRUE(PixWriteJPG(path.c_str(), rgb.data(), 16, 16, 75, 1, 0));
    ReadJpg(path, &w, &h);
    EXPECT_EQ(CommentsRead().size(), 3u);
    PixClearJPGComments();
    EXPECT_EQ(PixGetJPGCommentCount(), 3);
    ASSERT_TRUE(PixWriteJPG(path.c_str(), rgb.data(), 16, 16, 75, 1, 0));
    ReadJpg(path, &w, &h);
    EXPECT_EQ(PixGetJPGCommentCount(), 0);
}

TEST_F(JpegTest, CommentQueriesCodes) {
    const Bytes rgb = MakePhoto(8, 8);
    PixAddJPGComment("only");
    const std::string path = dir.File("q.jpg");
    ASSERT_TRUE(PixWriteJPG(path.c_str(), rgb.data(), 8, 8, 75, 1, 0));
    uint32_t w, h;
    ReadJpg(path, &w, &h);

    EXPECT_EQ(PixGetJPGCommentCount(), 1);
    EXPECT_EQ(PixGetLastError(), 0);
    HGLOBAL block = PixGetJPGComment(0);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(PixGetLastError(), 0);
    EXPECT_EQ(GlobalSize(block), 5u);
    EXPECT_EQ(TakeBlock(block), (Bytes{'o', 'n', 'l', 'y', 0}));
    for (int index : {1, -1, 1000}) {
        PixSetLastError(0);
        EXPECT_EQ(PixGetJPGComment(index), nullptr) << index;
        EXPECT_EQ(PixGetLastError(), kPixErrParam) << index;
    }
    EXPECT_FALSE(PixAddJPGComment(nullptr));
    EXPECT_EQ(PixGetLastError(), kPixErrParam);

    // A missing file leaves the comments read as they were.
    EXPECT_EQ(PixReadJPG(dir.File("none.jpg").c_str(), &w, &h), nullptr);
    EXPECT_EQ(PixGetLastError(), kPixErrOpen);
    EXPECT_EQ(PixGetJPGCommentCount(), 1);
}

TEST_F(JpegTest, CommentListsBelongToTheirThread) {
    const Bytes rgb = MakePhoto(8, 8);
    const std::string mine = dir.File("a.jpg"), theirs = dir.File("b.jpg");
    uint32_t w, h;
    PixAddJPGComment("main thread");
    ASSERT_TRUE(PixWriteJPG(mine.c_str(), rgb.data(), 8, 8, 75, 1, 0));
    ReadJpg(mine, &w, &h);
    std::thread([&] {
        EXPECT_EQ(PixGetJPGCommentCount(), 0);  // neither list is shared
        ASSERT_TRUE(PixWriteJPG(theirs.c_str(), rgb.data(), 8, 8, 75, 1, 0));
        uint32_t tw, th;
        ReadJpg(theirs, &tw, &th);
        EXPECT_EQ(PixGetJPGCommentCount(), 0);
        PixAddJPGComment("other thread");
        ASSERT_TRUE(PixWriteJPG(theirs.c_str(), rgb.data(), 8, 8, 75, 1, 0));
        ReadJpg(theirs, &tw, &th);
        EXPECT_EQ(CommentsRead(), std::vector<std::string>{"other thread"});
    }).join();
    EXPECT_EQ(CommentsRead(), std::vector<std::string>{"main thread"});
    ASSERT_TRUE(PixWriteJPG(mine.c_str(), rgb.data(), 8, 8, 75, 1, 0));
    ReadJpg(mine, &w, &h);
    EXPECT_EQ(CommentsRead(), std::vector<std::string>{"main thread"});
}

// --- writer ---

TEST_F(JpegTest, GreyOutputTruncatesTheWeightedSum) {
    // 0.299 R + 0.587 G + 0.114 B: 225.93 -> 225, 124.2 -> 124, 148.787 -> 148, 255, 0
    const std::vector<std::array<uint8_t, 3>> colours = {
        {255, 255, 0}, {200, 100, 50}, {3, 250, 10}, {255, 255, 255}, {0, 0, 0}};
    const uint8_t want[] = {225, 124, 148, 255, 0};
    const uint32_t w = 40, h = 8;
    const Bytes rgb = Tiles(w, h, colours);
    const std::string path = dir.File("grey.jpg");
    ASSERT_TRUE(PixWriteJPG(path.c_str(), rgb.data(), w, h, 100, 0, 0));

    const Bytes file = ReadFileBytes(path);
    const auto markers = Markers(file);
    const auto sof = std::find_if(markers.begin(), markers.end(),
                                  [](const Segment& s) { return s.marker == 0xC0; });
    ASSERT_NE(sof, markers.end());
    EXPECT_EQ(file[sof->offset + 9], 1);  // one component

    uint32_t rw, rh;
    const Bytes back = ReadJpg(path, &rw, &rh);
    ASSERT_EQ(back.size(), size_t{w} * h * 3);
    for (uint32_t tile = 0; tile < 5; ++tile) {
        const size_t at = (size_t{3} * w + tile * 8 + 4) * 3;
        EXPECT_EQ(back[at], want[tile]) << "tile " << tile;
        EXPECT_EQ(back[at + 1], want[tile]);
        EXPECT_EQ(back[at + 2], want[tile]);
    }
}

TEST_F(JpegTest, RoundTripAtQuality100StaysClose) {
    const uint32_t w = 67, h = 45;  // not multiples of the block size
    Bytes rgb(size_t{w} * h * 3);
    for (size_t i = 0; i < rgb.size(); ++i) {  // gradients with a little texture
        const size_t x = i / 3 % w, y = i / 3 / w, noise = (x * 7 + y * 13) % 9;
        const size_t base[] = {x * 240 / w, y * 240 / h, (x + y) * 120 / (w + h) + 60};
        rgb[i] = static_cast<uint8_t>(base[i % 3] + noise);
    }
    const std::string path = dir.File("rt.jpg");
    for (int progressive : {0, 1}) {
        ASSERT_TRUE(PixWriteJPG(path.c_str(), rgb.data(), w, h, 100, 1, progressive));
        const Bytes file = ReadFileBytes(path);
        EXPECT_EQ(HasMarker(file, 0xC2), progressive == 1);
        EXPECT_EQ(HasMarker(file, 0xC0), progressive == 0);

        uint32_t sw = 0, sh = 0;
        ASSERT_TRUE(PixGetJPGSize(path.c_str(), &sw, &sh));
        EXPECT_EQ(sw, w);
        EXPECT_EQ(sh, h);
        uint32_t rw, rh;
        const Bytes back = ReadJpg(path, &rw, &rh);
        ASSERT_EQ(rw, w);
        ASSERT_EQ(rh, h);
        ASSERT_EQ(back.size(), rgb.size());
        long total = 0;
        int worst = 0;
        for (size_t i = 0; i < rgb.size(); ++i) {
            const int d = std::abs(int{back[i]} - int{rgb[i]});
            total += d;
            worst = std::max(worst, d);
        }
        EXPECT_LT(double(total) / rgb.size(), 1.5) << "progressive " << progressive;
        EXPECT_LE(worst, 8) << "progressive " << progressive;
    }
}

TEST_F(JpegTest, DensityWrittenAndRead) {
    PixThreadState& state = PixState();
    const Bytes rgb = MakePhoto(8, 8);
    const std::string path = dir.File("d.jpg");
    uint32_t w, h;

    ASSERT_TRUE(PixWriteJPG(path.c_str(), rgb.data(), 8, 8, 75, 1, 0));
    state.jpegDensityRead = {9, 9, 9};
    ReadJpg(path, &w, &h);
    EXPECT_EQ(state.jpegDensityRead.x, 1);
    EXPECT_EQ(state.jpegDensityRead.y, 1);
    EXPECT_EQ(state.jpegDensityRead.unit, 0);

    const PixDensity saved = state.jpegDensityWrite;
    state.jpegDensityWrite = {300, 150, 1};
    ASSERT_TRUE(PixWriteJPG(path.c_str(), rgb.data(), 8, 8, 75, 1, 0));
    state.jpegDensityWrite = saved;
    ReadJpg(path, &w, &h);
    EXPECT_EQ(state.jpegDensityRead.x, 300);
    EXPECT_EQ(state.jpegDensityRead.y, 150);
    EXPECT_EQ(state.jpegDensityRead.unit, 1);
}

TEST_F(JpegTest, WriterFailures) {
    const Bytes rgb = MakePhoto(8, 8);
    const std::string path = dir.File("w.jpg");
    struct Case {
        const char* name;
        const char* path;
        const uint8_t* pixels;
        uint32_t w, h;
        int want;
    };
    const Case cases[] = {
        {"NullPixels", path.c_str(), nullptr, 8, 8, kPixErrParam},
        {"NullPath", nullptr, rgb.data(), 8, 8, kPixErrParam},
        {"ZeroWidth", path.c_str(), rgb.data(), 0, 8, kPixErrParam},
        {"ZeroHeight", path.c_str(), rgb.data(), 8, 0, kPixErrParam},
        {"WiderThanJpeg", path.c_str(), rgb.data(), 65501, 1, kPixErrJpg},
        {"NoSuchDirectory", "/nonexistent/dir/x.jpg", rgb.data(), 8, 8, kPixErrOpen},
    };
    for (const Case& c : cases) {
        PixSetLastError(0);
        EXPECT_FALSE(PixWriteJPG(c.path, c.pixels, c.w, c.h, 75, 1, 0)) << c.name;
        EXPECT_EQ(PixGetLastError(), c.want) << c.name;
    }
    EXPECT_FALSE(std::filesystem::exists(path));

    // A comment libjpeg cannot hold is refused before an existing file is touched.
    WriteFileBytes(path, Bytes{1, 2, 3});
    PixAddJPGComment(std::string(65534, 'x').c_str());
    EXPECT_FALSE(PixWriteJPG(path.c_str(), rgb.data(), 8, 8, 75, 1, 0));
    EXPECT_EQ(PixGetLastError(), kPixErrJpg);
    EXPECT_EQ(ReadFileBytes(path), (Bytes{1, 2, 3}));
    PixClearJPGComments();
    PixAddJPGComment(std::string(65533, 'x').c_str());
    EXPECT_TRUE(PixWriteJPG(path.c_str(), rgb.data(), 8, 8, 75, 1, 0));
}

TEST_F(JpegTest, WriteErrorsOnAFullDevice) {
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    // Rows fill libjpeg's buffer and fail on the way out (4); a small image
    // only fails when finishing (9).
    const Bytes big = MakePhoto(512, 512);
    EXPECT_FALSE(PixWriteJPG("/dev/full", big.data(), 512, 512, 100, 1, 0));
    EXPECT_EQ(PixGetLastError(), kPixErrWrite);
    EXPECT_FALSE(PixWriteJPG("/dev/full", big.data(), 8, 8, 75, 0, 0));
    EXPECT_EQ(PixGetLastError(), kPixErrJpg);
}

TEST_F(JpegTest, WriteStatePhases) {
    const Bytes rgb = MakePhoto(8, 2);
    const std::string path = dir.File("p.jpg");
    HGLOBAL state = BeginJPGWrite(path.c_str(), 8, 2, 1, 75, 0);
    ASSERT_NE(state, nullptr);
    EXPECT_TRUE(WriteJPGRow(state, rgb.data()));
    EXPECT_TRUE(WriteJPGRow(state, rgb.data() + 24));
    EXPECT_FALSE(WriteJPGRow(state, rgb.data()));  // every row written
    EXPECT_EQ(PixGetLastError(), kPixErrParam);
    EXPECT_TRUE(EndJPGWrite(state));
    EXPECT_EQ(PixGetLastError(), 0);

    // Finishing with rows missing is libjpeg's error, and still releases all.
    state = BeginJPGWrite(path.c_str(), 8, 2, 0, 75, 0);
    ASSERT_NE(state, nullptr);
    EXPECT_TRUE(WriteJPGRow(state, rgb.data()));
    EXPECT_FALSE(EndJPGWrite(state));
    EXPECT_EQ(PixGetLastError(), kPixErrJpg);
}

// --- reader failures ---

TEST_F(JpegTest, ReaderAndSizeQueryRefuseBadFiles) {
    const Bytes rgb = MakePhoto(32, 32);
    const std::string good = dir.File("good.jpg");
    ASSERT_TRUE(PixWriteJPG(good.c_str(), rgb.data(), 32, 32, 75, 1, 0));
    const Bytes file = ReadFileBytes(good);

    struct Case {
        const char* name;
        Bytes bytes;
    };
    const Case cases[] = {
        {"Empty", {}},
        {"NotJpeg", {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 0}},
        {"CutInHeaders", Bytes(file.begin(), file.begin() + 100)},
        {"SoiOnly", {0xFF, 0xD8}},
    };
    for (const Case& c : cases) {
        const std::string path = dir.File(std::string(c.name) + ".jpg");
        WriteFileBytes(path, c.bytes);
        uint32_t w = 5, h = 5;
        EXPECT_EQ(PixReadJPG(path.c_str(), &w, &h), nullptr) << c.name;
        EXPECT_EQ(PixGetLastError(), kPixErrJpg) << c.name;
        EXPECT_EQ(w + h, 0u) << c.name;
        w = h = 5;
        EXPECT_FALSE(PixGetJPGSize(path.c_str(), &w, &h)) << c.name;
        EXPECT_EQ(PixGetLastError(), kPixErrJpg) << c.name;
        EXPECT_EQ(w + h, 0u) << c.name;
    }

    uint32_t w, h;
    const std::string missing = dir.File("missing.jpg");
    EXPECT_EQ(PixReadJPG(missing.c_str(), &w, &h), nullptr);
    EXPECT_EQ(PixGetLastError(), kPixErrOpen);
    EXPECT_FALSE(PixGetJPGSize(missing.c_str(), &w, &h));
    EXPECT_EQ(PixGetLastError(), kPixErrOpen);
    EXPECT_EQ(PixReadJPG(nullptr, &w, &h), nullptr);
    EXPECT_EQ(PixGetLastError(), kPixErrParam);
    EXPECT_EQ(PixReadJPG(good.c_str(), nullptr, &h), nullptr);
    EXPECT_EQ(PixGetLastError(), kPixErrParam);
    EXPECT_FALSE(PixGetJPGSize(good.c_str(), &w, nullptr));
    EXPECT_EQ(PixGetLastError(), kPixErrParam);

    // Cut inside the scan: libjpeg pads and warns, the read succeeds.
    const auto markers = Markers(file);
    const auto sos = std::find_if(markers.begin(), markers.end(),
                                  [](const Segment& s) { return s.marker == 0xDA; });
    ASSERT_NE(sos, markers.end());
    ASSERT_GT(file.size(), sos->offset + 40);
    const std::string cut = dir.File("cut.jpg");
    WriteFileBytes(cut, Bytes(file.begin(), file.begin() + sos->offset + 30));
    EXPECT_EQ(ReadJpg(cut, &w, &h).size(), 32u * 32 * 3);
    EXPECT_EQ(PixGetLastError(), 0);
}

TEST_F(JpegTest, ImageDataErrorKeepsComments) {
    const Bytes rgb = MakePhoto(16, 16);
    PixAddJPGComment("kept");
    const std::string path = dir.File("bad_scan.jpg");
    ASSERT_TRUE(PixWriteJPG(path.c_str(), rgb.data(), 16, 16, 75, 1, 1));
    Bytes file = ReadFileBytes(path);
    const auto markers = Markers(file);
    const auto sos = std::find_if(markers.begin(), markers.end(),
                                  [](const Segment& s) { return s.marker == 0xDA; });
    ASSERT_NE(sos, markers.end());
    // The first scan is a DC scan; an end of spectral selection past 0 is an
    // invalid progression, found when decompression starts.
    const size_t ns = file[sos->offset + 4];
    file[sos->offset + 5 + 2 * ns + 1] = 5;
    WriteFileBytes(path, file);

    uint32_t w = 1, h = 1;
    EXPECT_EQ(PixReadJPG(path.c_str(), &w, &h), nullptr);
    EXPECT_EQ(PixGetLastError(), kPixErrJpg);
    EXPECT_EQ(w + h, 0u);
    EXPECT_EQ(CommentsRead(), std::vector<std::string>{"kept"});
}

TEST_F(JpegTest, HugeHeaderRefusedBeforeAllocation) {
    const Bytes rgb = MakePhoto(8, 8);
    const std::string path = dir.File("huge.jpg");
    ASSERT_TRUE(PixWriteJPG(path.c_str(), rgb.data(), 8, 8, 75, 1, 0));
    Bytes file = ReadFileBytes(path);
    const auto markers = Markers(file);
    const auto sof = std::find_if(markers.begin(), markers.end(),
                                  [](const Segment& s) { return s.marker == 0xC0; });
    ASSERT_NE(sof, markers.end());
    for (size_t at : {sof->offset + 5, sof->offset + 7}) {  // height, width: 65000
        file[at] = 0xFD;
        file[at + 1] = 0xE8;
    }
    WriteFileBytes(path, file);

    uint32_t w = 1, h = 1;
    EXPECT_EQ(PixReadJPG(path.c_str(), &w, &h), nullptr);
    EXPECT_EQ(PixGetLastError(), kPixErrMemory);
    EXPECT_EQ(w + h, 0u);
    EXPECT_TRUE(PixGetJPGSize(path.c_str(), &w, &h));
    EXPECT_EQ(w, 65000u);
    EXPECT_EQ(h, 65000u);
}

TEST_F(JpegTest, EndlessScansAreRefused) {
    // Repeating the final refinement scan gives libjpeg only warnings, so a
    // file may hold as many scans as its bytes allow.
    const Bytes rgb = MakePhoto(16, 16);
    const std::string path = dir.File("scans.jpg");
    ASSERT_TRUE(PixWriteJPG(path.c_str(), rgb.data(), 16, 16, 75, 1, 1));
    const Bytes file = ReadFileBytes(path);
    const auto markers = Markers(file);
    ASSERT_GE(markers.size(), 2u);
    const Segment& lastScan = markers[markers.size() - 2];
    ASSERT_EQ(lastScan.marker, 0xDA);
    const Bytes scan(file.begin() + lastScan.offset, file.end() - 2);
    size_t scans = std::count_if(markers.begin(), markers.end(),
                                 [](const Segment& s) { return s.marker == 0xDA; });

    for (size_t total : {size_t{400}, size_t{600}}) {
        Bytes many(file.begin(), file.end() - 2);
        for (size_t i = scans; i < total; ++i) many.insert(many.end(), scan.begin(), scan.end());
        many.push_back(0xFF);
        many.push_back(0xD9);
        WriteFileBytes(path, many);
        uint32_t w, h;
        HGLOBAL block = PixReadJPG(path.c_str(), &w, &h);
        EXPECT_EQ(block != nullptr, total <= 500) << total;
        GlobalFree(block);
    }
}
