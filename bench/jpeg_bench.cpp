// SPDX-License-Identifier: GPL-3.0-or-later
// The JPEG entry points against bare libjpeg doing the same job on the
// 6000 x 4000 bench picture: decoding a file into one RGB buffer, and
// encoding an RGB buffer at quality 75, baseline, into a file.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "imagelib/jpeg.h"

extern "C" {
#include <jpeglib.h>
}

namespace {

constexpr int kQuality = 75;

void BareWrite(const std::string& path, const uint8_t* rgb) {
    jpeg_compress_struct info;
    jpeg_error_mgr errors;
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) std::abort();
    jpeg_stdio_dest(&info, file);
    info.image_width = kBenchWidth;
    info.image_height = kBenchHeight;
    info.input_components = 3;
    info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, kQuality, TRUE);
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(rgb + size_t{info.next_scanline} * kBenchWidth * 3);
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    std::fclose(file);
}

// The file both readers decode, written once by bare libjpeg.
const std::string& SourceFile() {
    static const std::string path = [] {
        std::string p = BenchTempPath("source.jpg");
        BareWrite(p, BenchPhoto().data());
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
    const std::vector<uint8_t>& rgb = BenchPhoto();
    const std::string path = BenchTempPath("ours.jpg");
    for (auto _ : state) {
        if (!PixWriteJPG(path.c_str(), rgb.data(), kBenchWidth, kBenchHeight, kQuality, 1, 0)) {
            state.SkipWithError("write failed");
        }
    }
    std::remove(path.c_str());
}

void BM_BareWrite(benchmark::State& state) {
    const std::vector<uint8_t>& rgb = BenchPhoto();
    const std::string path = BenchTempPath("bare.jpg");
    for (auto _ : state) BareWrite(path, rgb.data());
    std::remove(path.c_str());
}

}  // namespace

BENCHMARK(BM_PixReadJPG)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BareRead)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PixWriteJPG)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BareWrite)->Unit(benchmark::kMillisecond)->UseRealTime();
