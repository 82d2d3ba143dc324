// SPDX-License-Identifier: GPL-3.0-or-later
#include "imagelib/state.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <tuple>

#include "platform/line_budget.h"
#include "platform/win32.h"

TEST(ErrorTable, TextsAndUnknownCodes) {
    EXPECT_STREQ(PixErrorText(0), "No error");
    EXPECT_STREQ(PixErrorText(6), "Invlaid BMP file");
    EXPECT_STREQ(PixErrorText(20), "Invlaid TIFF image");
    EXPECT_STREQ(PixErrorText(28), "Image is not of the requested bit-depth");
    EXPECT_STREQ(PixErrorText(60), "Not a valid image file");
    for (int code : {8, 12, 29, 59, 61, -1}) EXPECT_EQ(PixErrorText(code), nullptr) << code;
    EXPECT_EQ(PixErrorMessage(8), "Error #8");
    EXPECT_EQ(PixErrorMessage(2), "Unable to open file");
}

TEST(ThreadState, FreshThreadStartsFromInitialValues) {
    std::thread([] {
        EXPECT_EQ(PixGetLastError(), 0);
        const PixThreadState& s = PixState();
        auto density = [](const PixDensity& d) { return std::tuple(d.x, d.y, d.unit); };
        auto resolution = [](const PixResolution& r) { return std::tuple(r.unit, r.x, r.y); };
        EXPECT_EQ(density(s.pngDensityRead), std::tuple(1, 1, 0));
        EXPECT_EQ(density(s.pngDensityWrite), std::tuple(1, 1, 0));
        EXPECT_EQ(s.screenGamma, 2.9);
        EXPECT_EQ(std::tuple(s.background.index, s.background.red, s.background.green,
                             s.background.blue, s.background.grey),
                  std::tuple(0, 0, 0, 0, 0));
        EXPECT_TRUE(s.pngTextsRead.empty());
        EXPECT_TRUE(s.pngTextsWrite.empty());
        EXPECT_EQ(resolution(s.tiffResolutionRead), std::tuple(1, 1, 1));
        EXPECT_EQ(resolution(s.tiffResolutionWrite), std::tuple(1, 1, 1));
        EXPECT_EQ(s.jpegWriteOption, 0);
        EXPECT_EQ(density(s.jpegDensityRead), std::tuple(1, 1, 0));
        EXPECT_EQ(density(s.jpegDensityWrite), std::tuple(1, 1, 0));
        EXPECT_TRUE(s.jpegCommentsRead.empty());
        EXPECT_TRUE(s.jpegCommentsWrite.empty());
        EXPECT_EQ(s.jpegReadOption, 0);
    }).join();
}

TEST(ThreadState, EachThreadReadsItsOwnCode) {
    int seenA = -1, seenB = -1;
    std::thread a([&] {
        PixSetLastError(kPixErrBmp);
        std::this_thread::yield();
        seenA = PixGetLastError();
    });
    std::thread b([&] {
        PixSetLastError(kPixErrPcx);
        std::this_thread::yield();
        seenB = PixGetLastError();
    });
    a.join();
    b.join();
    EXPECT_EQ(seenA, kPixErrBmp);
    EXPECT_EQ(seenB, kPixErrPcx);
}

TEST(GlobalMemory, LockCountingAndZeroFill) {
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, 100);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(GlobalSize(block), 100u);
    auto* first = static_cast<uint8_t*>(GlobalLock(block));
    auto* second = static_cast<uint8_t*>(GlobalLock(block));
    EXPECT_EQ(first, second);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(first[i], 0);
    EXPECT_NE(GlobalUnlock(block), 0);  // one lock remains
    EXPECT_EQ(GlobalUnlock(block), 0);
    EXPECT_EQ(GetLastError(), NO_ERROR);
    EXPECT_EQ(GlobalUnlock(block), 0);  // not locked any more
    EXPECT_EQ(GetLastError(), ERROR_NOT_LOCKED);
    EXPECT_EQ(GlobalFree(block), nullptr);
    EXPECT_EQ(GlobalLock(nullptr), nullptr);
    EXPECT_EQ(GlobalFree(nullptr), nullptr);
}

TEST(GlobalMemory, LargeBlocksAreZeroedAndWritable) {
    for (size_t size : {size_t{16} << 20, (size_t{40} << 20) + 3}) {
        HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, size);
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(GlobalSize(block), size);
        auto* bytes = static_cast<uint8_t*>(GlobalLock(block));
        ASSERT_NE(bytes, nullptr);
        EXPECT_EQ(bytes[0], 0);
        EXPECT_EQ(bytes[size / 2], 0);
        EXPECT_EQ(bytes[size - 1], 0);
        bytes[0] = bytes[size - 1] = 0xAB;
        EXPECT_EQ(GlobalUnlock(block), 0);
        EXPECT_EQ(GlobalFree(block), nullptr);
    }
}

TEST(GlobalMemory, TextBlockHoldsTheStringAndItsZero) {
    HGLOBAL block = PixNewTextBlock("abc");
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(GlobalSize(block), 4u);
    EXPECT_STREQ(static_cast<const char*>(GlobalLock(block)), "abc");
    GlobalUnlock(block);
    GlobalFree(block);
}

TEST(Platform, ModuleFileNameIsThisProgram) {
    char path[4096];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    ASSERT_GT(length, 0u);
    EXPECT_NE(std::strstr(path, "state_test"), nullptr) << path;
    char tiny[4];
    EXPECT_EQ(GetModuleFileNameA(nullptr, tiny, sizeof tiny), sizeof tiny);
    EXPECT_EQ(tiny[3], '\0');
}

TEST(Platform, TlsSlotsArePerThread) {
    const DWORD slot = TlsAlloc();
    ASSERT_NE(slot, TLS_OUT_OF_INDEXES);
    int mine = 1, theirs = 2;
    ASSERT_TRUE(TlsSetValue(slot, &mine));
    std::thread([&] {
        EXPECT_EQ(TlsGetValue(slot), nullptr);
        TlsSetValue(slot, &theirs);
        EXPECT_EQ(TlsGetValue(slot), &theirs);
    }).join();
    EXPECT_EQ(TlsGetValue(slot), &mine);
    EXPECT_TRUE(TlsFree(slot));
}

// A flood of debug lines gets a burst, then the steady rate; what was
// refused is counted once for the log to mention.
TEST(DebugOutput, LineBudgetAllowsABurstThenARate) {
    LineBudget budget(3, 2);
    int allowed = 0;
    for (int i = 0; i < 100000; ++i) allowed += budget.Allow(0.0);
    EXPECT_EQ(allowed, 3);
    EXPECT_EQ(budget.TakeDropped(), 99997u);
    EXPECT_EQ(budget.TakeDropped(), 0u);
    EXPECT_FALSE(budget.Allow(0.4));  // 0.8 of a line earned
    EXPECT_TRUE(budget.Allow(1.0));  // 0.8 + 1.2 lines earned: two
    EXPECT_TRUE(budget.Allow(1.0));
    EXPECT_FALSE(budget.Allow(1.0));
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(budget.Allow(1000.0));  // never more than the burst
    EXPECT_FALSE(budget.Allow(1000.0));
}
