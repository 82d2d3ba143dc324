// SPDX-License-Identifier: GPL-3.0-or-later
// The PNG entry points against bare libpng doing the same job: the 8-bit RGB
// bench picture of 6000 x 4000, written with libpng's default compression
// and filters, read back row by row.
#include <benchmark/benchmark.h>
#include <png.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "imagelib/png.h"

namespace {

[[noreturn]] void BareError(png_structp png, png_const_charp) {
    png_longjmp(png, 1);
}
void BareWarning(png_structp, png_const_charp) {}

// The minimal libpng read loop into one malloc'd buffer.
uint8_t* BareRead(const char* path) {
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return nullptr;
    png_structp png =
        png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, BareError, BareWarning);
    png_infop info = png_create_info_struct(png);
    uint8_t* volatile pixels = nullptr;
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        std::fclose(file);
        std::free(pixels);
        return nullptr;
    }
    png_init_io(png, file);
    png_read_info(png, info);
    png_read_update_info(png, info);
    const size_t rowBytes = png_get_rowbytes(png, info);
    const png_uint_32 height = png_get_image_height(png, info);
    pixels = static_cast<uint8_t*>(std::malloc(rowBytes * height));
    for (png_uint_32 y = 0; y < height; ++y) png_read_row(png, pixels + y * rowBytes, nullptr);
    png_read_end(png, info);
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(file);
    return pixels;
}

const std::string& SourceFile() {
    static const std::string path = [] {
        const std::string p = BenchTempPath("source.png");
        if (!LibpngDefaultWrite(p.c_str(), BenchPhoto().data(), kBenchWidth, kBenchHeight))
            std::abort();
        return p;
    }();
    return path;
}

void BM_WritePNG(benchmark::State& state) {
    const std::string path = BenchTempPath("ours.png");
    const uint8_t* pixels = BenchPhoto().data();
    for (auto _ : state) {
        if (!PixWritePNG(path.c_str(), pixels, kBenchWidth, kBenchHeight, 0.0)) {
            state.SkipWithError("write");
        }
    }
    state.counters["bytes"] = static_cast<double>(std::filesystem::file_size(path));
    std::filesystem::remove(path);
}

void BM_BareLibpngWrite(benchmark::State& state) {
    const std::string path = BenchTempPath("bare.png");
    const uint8_t* pixels = BenchPhoto().data();
    for (auto _ : state) {
        if (!LibpngDefaultWrite(path.c_str(), pixels, kBenchWidth, kBenchHeight))
            state.SkipWithError("write");
    }
    state.counters["bytes"] = static_cast<double>(std::filesystem::file_size(path));
    std::filesystem::remove(path);
}

void BM_ReadPNG(benchmark::State& state) {
    const std::string& path = SourceFile();
    for (auto _ : state) {
        // What the application sets before every read.
        PixSetPNGBackground(0, 0, 0, 0, 0);
        PixSetPNGGamma(2.2);
        uint32_t w = 0, h = 0;
        HGLOBAL block = PixReadPNG(path.c_str(), &w, &h);
        if (block == nullptr) state.SkipWithError("read");
        GlobalFree(block);
    }
}

void BM_BareLibpngRead(benchmark::State& state) {
    const std::string& path = SourceFile();
    for (auto _ : state) {
        uint8_t* pixels = BareRead(path.c_str());
        if (pixels == nullptr) state.SkipWithError("read");
        std::free(pixels);
    }
}

BENCHMARK(BM_WritePNG)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BareLibpngWrite)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReadPNG)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BareLibpngRead)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
