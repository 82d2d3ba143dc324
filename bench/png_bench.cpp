// The PNG entry points against bare libpng doing the same job: an 8-bit RGB
// photo-like image of 6000 x 4000, written with libpng's default compression
// and filters, read back row by row.
#include <benchmark/benchmark.h>
#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "imagelib/png.h"

namespace {

constexpr uint32_t kWidth = 6000;
constexpr uint32_t kHeight = 4000;

// Smooth light falloff and colour drift with fine grain, so the filters and
// zlib see something close to a photograph, not flat areas or pure noise.
const std::vector<uint8_t>& Photo() {
    static const std::vector<uint8_t> rgb = [] {
        std::vector<uint8_t> out(size_t{kWidth} * kHeight * 3);
        uint32_t seed = 12345;
        size_t i = 0;
        for (uint32_t y = 0; y < kHeight; ++y) {
            for (uint32_t x = 0; x < kWidth; ++x) {
                seed = seed * 1664525u + 1013904223u;
                const int grain = static_cast<int>(seed >> 28) - 8;
                const double fx = x / 900.0, fy = y / 700.0;
                const double light = 0.5 + 0.25 * std::sin(fx) * std::cos(fy) + 0.15 * std::sin(fx * 3.1 + fy * 2.3);
                const int base = static_cast<int>(light * 255);
                const int channel[3] = {base + 30, base + static_cast<int>(20 * std::sin(fy * 1.7)),
                                        base - 25 + static_cast<int>(15 * std::cos(fx * 2.2))};
                for (int c : channel) out[i++] = static_cast<uint8_t>(std::clamp(c + grain, 0, 255));
            }
        }
        return out;
    }();
    return rgb;
}

std::string TempPath(const char* name) {
    return (std::filesystem::temp_directory_path() / name).string();
}

[[noreturn]] void BareError(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void BareWarning(png_structp, png_const_charp) {}

// The minimal libpng write loop: the same image, defaults throughout.
bool BareWrite(const char* path, const uint8_t* pixels) {
    std::FILE* file = std::fopen(path, "wb");
    if (file == nullptr) return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, BareError, BareWarning);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        std::fclose(file);
        return false;
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, kWidth, kHeight, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (uint32_t y = 0; y < kHeight; ++y) png_write_row(png, pixels + size_t{y} * kWidth * 3);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return std::fclose(file) == 0;
}

// The minimal libpng read loop into one malloc'd buffer.
uint8_t* BareRead(const char* path) {
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return nullptr;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, BareError, BareWarning);
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
        const std::string p = TempPath("ombrel-png-bench-source.png");
        if (!BareWrite(p.c_str(), Photo().data())) std::abort();
        return p;
    }();
    return path;
}

void BM_WritePNG(benchmark::State& state) {
    const std::string path = TempPath("ombrel-png-bench-ours.png");
    const uint8_t* pixels = Photo().data();
    for (auto _ : state) {
        if (!PixWritePNG(path.c_str(), pixels, kWidth, kHeight, 0.0)) state.SkipWithError("write");
    }
    state.counters["bytes"] = static_cast<double>(std::filesystem::file_size(path));
    std::filesystem::remove(path);
}

void BM_BareLibpngWrite(benchmark::State& state) {
    const std::string path = TempPath("ombrel-png-bench-bare.png");
    const uint8_t* pixels = Photo().data();
    for (auto _ : state) {
        if (!BareWrite(path.c_str(), pixels)) state.SkipWithError("write");
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
