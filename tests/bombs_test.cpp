// SPDX-License-Identifier: GPL-3.0-or-later
// Small files claiming huge pictures or endless work: each reader refuses
// them with a clear code before it allocates, or reads them within bounds,
// its peak address space and processor time measured in a process of its
// own (read_probe) against the working-memory cap.
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
    unsigned long long cpuMs = 0;
};

struct PipeCloser {
    void operator()(std::FILE* pipe) const { pclose(pipe); }
};

// Paths come from TempDir, so they need no quoting beyond the single quotes.
ProbeResult Probe(const std::string& format, const std::string& path) {
    const std::string command = std::string(OMBREL_READ_PROBE) + " " + format + " '" + path + "'";
    std::unique_ptr<std::FILE, PipeCloser> pipe(popen(command.c_str(), "r"));
    ProbeResult result;
    if (pipe == nullptr ||
        std::fscanf(pipe.get(), "%d %llu %llu", &result.code, &result.peak, &result.cpuMs) != 3)
        ADD_FAILURE() << "no answer from " << command;
    return result;
}

struct Bomb {
    const char* name;
    const char* format;  // a read_probe mode; the file's extension is its first three letters
    std::function<void(const std::string& path)> make;
    int code;
    uint64_t peakMax = 0;  // 0: the working-memory cap for the file's size
};

// Every bomb here once took tens of seconds; a bounded read takes well under
// this, sanitizers included.
constexpr unsigned long long kCpuMsMax = 5000;

void PrintTo(const Bomb& bomb, std::ostream* out) {
    *out << bomb.name;
}

class Bombs : public ::testing::TestWithParam<Bomb> {};

TEST_P(Bombs, RefusedBeforeAnythingBigIsAllocated) {
    const Bomb& bomb = GetParam();
    TempDir dir;
    const std::string path =
        dir.File(std::string(bomb.name) + "." + std::string(bomb.format).substr(0, 3));
    bomb.make(path);
    const uint64_t fileBytes = ReadFileBytes(path).size();
    const ProbeResult read = Probe(bomb.format, path);
    EXPECT_EQ(read.code, bomb.code) << PixErrorMessage(read.code);
    EXPECT_LT(read.peak, bomb.peakMax != 0 ? bomb.peakMax : WorkCap(fileBytes))
        << "peak address space of the read";
    EXPECT_LT(read.cpuMs, kCpuMsMax) << "processor time of the read";
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
    // The same behind a chunk before the header, which libpng lets pass.
    {"png_rgba16_row_of_2e26_pixels_header_second", "png",
     [](const std::string& path) {
         Bytes png = MakeWideRowPng(1u << 26);
         const Bytes first = {0,   0,   0,   13,  't',  'E', 'X', 'i', 'T',  'X',  't',  0x19, 't',
                              'a', ' ', 'i', 's', 0x89, 'P', 'N', 'G', '\r', '\n', 0x1b, '\n'};
         png.insert(png.begin() + 8, first.begin(), first.end());
         WriteFileBytes(path, png);
     },
     kPixErrPng},
    // 500 refinement scans in 100 kB, each over every block of 16 megapixels.
    {"jpeg_500_scans_4096x4096", "jpg",
     [](const std::string& path) { WriteFileBytes(path, MakeManyScanJpeg(4096, 4096, 500)); },
     kPixErrJpgWork},
    // A few hundred bytes of baseline data for a gigapixel: 3 GiB of grey.
    {"jpeg_baseline_65500x16392", "jpg",
     [](const std::string& path) { WriteFileBytes(path, MakeBaselineJpeg(16, 16, 65500, 16392)); },
     kPixErrJpg},
    // The coefficient read holds every coefficient, a baseline file's too.
    {"jpeg_coefficients_baseline_65500x16392", "jpg-coef",
     [](const std::string& path) { WriteFileBytes(path, MakeBaselineJpeg(16, 16, 65500, 16392)); },
     kPixErrMemory},
    {"jpeg_coefficients_500_scans_4096x4096", "jpg-coef",
     [](const std::string& path) { WriteFileBytes(path, MakeManyScanJpeg(4096, 4096, 500)); },
     kPixErrJpgWork},
    // One strip's or tile's bytes behind all of them: 1 GiB decoded from 10 kB.
    {"tiff_strips_share_bytes_16384x16384", "tif",
     [](const std::string& path) {
         WriteFileBytes(path, MakeSharedStripTiff(16384, 16384, 64, false));
     },
     kPixErrTiff},
    {"tiff_tiles_share_bytes_16384x16384", "tif",
     [](const std::string& path) {
         WriteFileBytes(path, MakeSharedStripTiff(16384, 16384, 256, true));
     },
     kPixErrTiff},
    // 64 zTXt chunks of 4 MiB each in 256 kB: the size query and a top-rows
    // read skip them, a whole read stops at its text budget.
    {"png_texts_256mib_size", "png-size",
     [](const std::string& path) { WriteFileBytes(path, MakeTextBombPng(64, 4 << 20)); }, 0,
     16 << 20},
    {"png_texts_256mib_rows", "png-rows",
     [](const std::string& path) { WriteFileBytes(path, MakeTextBombPng(64, 4 << 20)); }, 0,
     16 << 20},
    {"png_texts_256mib_read", "png",
     [](const std::string& path) { WriteFileBytes(path, MakeTextBombPng(64, 4 << 20)); },
     kPixErrMemory},
    // A complete interlaced 1-bit file of 33 kB: a top-rows read keeps its
    // top rows only, not 768 MiB of picture.
    {"png_interlaced_1bit_16384x16384_rows", "png-rows",
     [](const std::string& path) { WriteZeroPng(path, 16384, 16384, 1, 0, true); }, 0, 16 << 20},
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
