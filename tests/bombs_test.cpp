// Small files claiming huge pictures: each reader refuses them with a clear
// code before it allocates, its peak address space measured in a process of
// its own (read_probe) against the working-memory cap.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "imagelib/common.h"
#include "tests/bomb_files.h"
#include "tests/test_util.h"

namespace {

struct ProbeResult {
    int code = -1;
    unsigned long long peak = 0;
};

struct PipeCloser {
    void operator()(std::FILE* pipe) const { pclose(pipe); }
};

// Paths come from TempDir, so they need no quoting beyond the single quotes.
ProbeResult Probe(const std::string& format, const std::string& path) {
    const std::string command = std::string(OMBREL_READ_PROBE) + " " + format + " '" + path + "'";
    std::unique_ptr<std::FILE, PipeCloser> pipe(popen(command.c_str(), "r"));
    ProbeResult result;
    if (pipe == nullptr || std::fscanf(pipe.get(), "%d %llu", &result.code, &result.peak) != 2)
        ADD_FAILURE() << "no answer from " << command;
    return result;
}

struct Bomb {
    const char* name;
    const char* format;
    std::function<void(const std::string& path)> make;
    int code;
};

void PrintTo(const Bomb& bomb, std::ostream* out) {
    *out << bomb.name;
}

class Bombs : public ::testing::TestWithParam<Bomb> {};

TEST_P(Bombs, RefusedBeforeAnythingBigIsAllocated) {
    const Bomb& bomb = GetParam();
    TempDir dir;
    const std::string path = dir.File(std::string(bomb.name) + "." + bomb.format);
    bomb.make(path);
    const uint64_t fileBytes = ReadFileBytes(path).size();
    const ProbeResult read = Probe(bomb.format, path);
    EXPECT_EQ(read.code, bomb.code) << PixErrorMessage(read.code);
    EXPECT_LT(read.peak, WorkCap(fileBytes)) << "peak address space of the read";
}

const Bomb kBombs[] = {
    // All coefficients of a progressive file are buffered: 6 GiB here.
    {"jpeg_progressive_arithmetic_65500x16392", "jpg",
     [](const std::string& path) {
         WriteFileBytes(path, MakeProgressiveJpeg(16, 16, true, false, 65500, 16392));
     },
     kPixErrMemory},
    {"jpeg_progressive_420_65500x16392", "jpg",
     [](const std::string& path) {
         WriteFileBytes(path, MakeProgressiveJpeg(16, 16, false, true, 65500, 16392));
     },
     kPixErrMemory},
    // One strip decoded whole: 3 GiB, from a valid 100 kB file.
    {"tiff_zstd_one_strip_32768x32768", "tif",
     [](const std::string& path) { WriteZstdStripTiff(path, 32768, 32768); }, kPixErrMemory},
    // 5 kB of zeros cannot inflate to 2.7 GB of rows.
    {"png_zeros_30000x30000_cut_short", "png",
     [](const std::string& path) { WriteFileBytes(path, MakeCutShortPng(30000, 30000, 64)); },
     kPixErrPng},
    // libpng's own two rows: 512 MiB each.
    {"png_rgba16_row_of_2e26_pixels", "png",
     [](const std::string& path) { WriteFileBytes(path, MakeWideRowPng(1u << 26)); },
     kPixErrMemory},
};

INSTANTIATE_TEST_SUITE_P(Formats, Bombs, ::testing::ValuesIn(kBombs),
                         [](const auto& info) { return std::string(info.param.name); });

// The measure itself: a progressive picture that may be read shows its
// pixel block and coefficients in the probe's peak.
TEST(BombProbe, SeesWhatAnAllowedReadTakes) {
    TempDir dir;
    const std::string path = dir.File("progressive.jpg");
    WriteFileBytes(path, MakeProgressiveJpeg(2048, 2048, false, false, 2048, 2048));
    const ProbeResult read = Probe("jpg", path);
    EXPECT_EQ(read.code, 0) << PixErrorMessage(read.code);
    const uint64_t pixels = 2048 * 2048 * 3, coefficients = 2048 * 2048 * 3 * 2;
    EXPECT_GE(read.peak, pixels + coefficients);
}

}  // namespace
