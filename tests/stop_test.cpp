// SPDX-License-Identifier: GPL-3.0-or-later
// A thread's cancel flag stops every reader and writer between rows, with
// code 14 and no block handed out; without it they run as before.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

#include "imagelib/pix.h"
#include "tests/test_util.h"

namespace {

constexpr uint32_t kWidth = 96, kHeight = 64;

// Sets the calling thread's flag for the scope's life.
class Flag {
  public:
    explicit Flag(bool set) : flag_(set) { PixSetCancelFlag(&flag_); }
    ~Flag() { PixSetCancelFlag(nullptr); }

  private:
    std::atomic<bool> flag_;
};

struct Format {
    const char* name;
    std::function<BOOL(const char*, const uint8_t*)> write;
    std::function<HGLOBAL(const char*, uint32_t*, uint32_t*)> read;
};

const Format kFormats[] = {
    {"bmp", [](const char* p, const uint8_t* px) { return PixWriteBMP(p, px, kWidth, kHeight); },
     PixReadBMP},
    {"pcx", [](const char* p, const uint8_t* px) { return PixWritePCX(p, px, kWidth, kHeight); },
     PixReadPCX},
    {"png", [](const char* p, const uint8_t* px) { return PixWritePNG(p, px, kWidth, kHeight, 0); },
     PixReadPNG},
    // Interlaced: libpng's own row loop, not the threaded one.
    {"png-interlaced",
     [](const char* p, const uint8_t* px) {
         return PixWritePNGEx(p, px, kWidth, kHeight, kWidth * 3, 8, 0, nullptr, 2, 0, 0, 1);
     },
     PixReadPNG},
    {"tif", [](const char* p, const uint8_t* px) { return PixWriteTIFF(p, px, kWidth, kHeight); },
     PixReadTIFF},
    {"jpg",
     [](const char* p, const uint8_t* px) { return PixWriteJPG(p, px, kWidth, kHeight, 90, 1, 0); },
     PixReadJPG},
    // Progressive: the coefficients are read before the first row.
    {"jpg-progressive",
     [](const char* p, const uint8_t* px) { return PixWriteJPG(p, px, kWidth, kHeight, 90, 1, 1); },
     PixReadJPG},
};

class Stop : public ::testing::TestWithParam<Format> {};

TEST_P(Stop, ReadAndWriteEndWithTheCancelCode) {
    TempDir dir;
    const Bytes photo = MakePhoto(kWidth, kHeight);
    const std::string path = dir.File("picture");
    {
        Flag stop(true);
        EXPECT_FALSE(GetParam().write(path.c_str(), photo.data()));
        EXPECT_EQ(PixGetLastError(), kPixErrCancelled);
    }
    {
        Flag go(false);
        ASSERT_TRUE(GetParam().write(path.c_str(), photo.data()));
    }
    uint32_t width = 0, height = 0;
    {
        Flag stop(true);
        EXPECT_EQ(GetParam().read(path.c_str(), &width, &height), nullptr);
        EXPECT_EQ(PixGetLastError(), kPixErrCancelled);
    }
    // Another thread's flag is not this one's.
    Flag other(true);
    std::thread([&] {
        HGLOBAL block = GetParam().read(path.c_str(), &width, &height);
        EXPECT_NE(block, nullptr);
        TakeBlock(block);
    }).join();
}

INSTANTIATE_TEST_SUITE_P(Formats, Stop, ::testing::ValuesIn(kFormats), [](const auto& info) {
    std::string name = info.param.name;
    for (char& c : name) c = c == '-' ? '_' : c;
    return name;
});

// The write that spreads a PNG over threads stops too, its helpers with it.
TEST(StopThreadedPng, EndsWithItsHelpers) {
    TempDir dir;
    const uint32_t width = 512, height = 512;
    const Bytes photo = MakePhoto(width, height);
    const unsigned previous = PixSetPNGWriteThreads(4);
    Flag stop(true);
    EXPECT_FALSE(PixWritePNG(dir.File("p.png").c_str(), photo.data(), width, height, 0));
    EXPECT_EQ(PixGetLastError(), kPixErrCancelled);
    PixSetPNGWriteThreads(previous);
}

TEST(StopQuantize, EndsBeforeTheIndices) {
    const Bytes photo = MakePhoto(kWidth, kHeight);
    Bytes indices(size_t{kWidth} * kHeight);
    RGBQUAD palette[256] = {};
    Flag stop(true);
    EXPECT_FALSE(PixQuantize(photo.data(), indices.data(), kWidth, kHeight, 128, palette));
    EXPECT_EQ(PixGetLastError(), kPixErrCancelled);
}

}  // namespace
