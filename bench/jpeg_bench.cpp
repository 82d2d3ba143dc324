// The JPEG entry points against bare libjpeg doing the same job on a
// 6000 x 4000 photo-like picture: decoding a file into one RGB buffer, and
// encoding an RGB buffer at quality 75, baseline, into a file.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "imagelib/jpeg.h"

extern "C" {
#include <jpeglib.h>
}

namespace {

constexpr uint32_t kWidth = 6000, kHeight = 4000;
constexpr int kQuality = 75;

// Smooth shading with edges and fine grain, so the encoder sees something
// like a photograph rather than flat colour or pure noise.
const std::vector<uint8_t>& Photo() {
    static const std::vector<uint8_t> rgb = [] {
        std::vector<uint8_t> out(size_t{kWidth} * kHeight * 3);
        uint32_t seed = 12345;
        size_t i = 0;
        for (uint32_t y = 0; y < kHeight; ++y) {
            for (uint32_t x = 0; x < kWidth; ++x) {
                seed = seed * 1664525u + 1013904223u;
                const int grain = static_cast<int>(seed >> 28) - 8;
                const double shade = 0.5 + 0.5 * std::sin(x * 0.003) * std::cos(y * 0.004);
                const bool object = (x / 700 + y / 500) % 3 == 0;
                const int r = static_cast<int>(shade * 200) + (object ? 40 : 0) + grain;
                const int g = static_cast<int>((1.0 - shade) * 150) + 40 + grain;
                const int b = static_cast<int>(y * 200 / kHeight) + (object ? 0 : 30) + grain;
                for (int v : {r, g, b}) out[i++] = static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
            }
        }
        return out;
    }();
    return rgb;
}

std::string BenchFile(const char* name) {
    return "/tmp/ombrel_jpeg_bench_" + std::to_string(getpid()) + "_" + name;
}

void BareWrite(const std::string& path, const uint8_t* rgb) {
    jpeg_compress_struct info;
    jpeg_error_mgr errors;
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) std::abort();
    jpeg_stdio_dest(&info, file);
    info.image_width = kWidth;
    info.image_height = kHeight;
    info.input_components = 3;
    info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, kQuality, TRUE);
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(rgb + size_t{info.next_scanline} * kWidth * 3);
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    std::fclose(file);
}

// The file both readers decode, written once by bare libjpeg.
const std::string& SourceFile() {
    static const std::string path = [] {
        std::string p = BenchFile("source.jpg");
        BareWrite(p, Photo().data());
        return p;
    }();
    return path;
}

void BM_PixReadJPG(benchmark::State& state) {
    const std::string& path = SourceFile();
    for (auto _ : state) {
        uint32_t w = 0, h = 0;
        HGLOBAL block = PixReadJPG(path.c_str(), &w, &h);
        if (block == nullptr) state.SkipWithError("read failed");
        benchmark::DoNotOptimize(block);
        GlobalFree(block);
    }
}

void BM_BareRead(benchmark::State& state) {
    const std::string& path = SourceFile();
    for (auto _ : state) {
        jpeg_decompress_struct info;
        jpeg_error_mgr errors;
        info.err = jpeg_std_error(&errors);
        jpeg_create_decompress(&info);
        std::FILE* file = std::fopen(path.c_str(), "rb");
        jpeg_stdio_src(&info, file);
        jpeg_read_header(&info, TRUE);
        jpeg_start_decompress(&info);
        const size_t stride = size_t{info.output_width} * info.output_components;
        auto* pixels = static_cast<uint8_t*>(std::malloc(stride * info.output_height));
        while (info.output_scanline < info.output_height) {
            JSAMPROW row = pixels + info.output_scanline * stride;
            jpeg_read_scanlines(&info, &row, 1);
        }
        jpeg_finish_decompress(&info);
        jpeg_destroy_decompress(&info);
        std::fclose(file);
        benchmark::DoNotOptimize(pixels);
        std::free(pixels);
    }
}

void BM_PixWriteJPG(benchmark::State& state) {
    const std::vector<uint8_t>& rgb = Photo();
    const std::string path = BenchFile("ours.jpg");
    for (auto _ : state) {
        if (!PixWriteJPG(path.c_str(), rgb.data(), kWidth, kHeight, kQuality, 1, 0)) {
            state.SkipWithError("write failed");
        }
    }
    std::remove(path.c_str());
}

void BM_BareWrite(benchmark::State& state) {
    const std::vector<uint8_t>& rgb = Photo();
    const std::string path = BenchFile("bare.jpg");
    for (auto _ : state) BareWrite(path, rgb.data());
    std::remove(path.c_str());
}

// Built before timing starts, removed at exit.
struct Cleanup {
    ~Cleanup() { std::remove(BenchFile("source.jpg").c_str()); }
} cleanup;

}  // namespace

BENCHMARK(BM_PixReadJPG)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BareRead)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PixWriteJPG)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BareWrite)->Unit(benchmark::kMillisecond)->UseRealTime();
