// TIFF reader and writer against libtiff doing the same job in a bare loop,
// on a 6000 x 4000 photo-like picture.
#include <benchmark/benchmark.h>
#include <tiffio.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "imagelib/tiff.h"

namespace {

constexpr uint32_t kWidth = 6000;
constexpr uint32_t kHeight = 4000;

// Smooth gradients and a few soft shapes with per-pixel grain, so the
// picture neither repeats nor is pure noise.
std::vector<uint8_t> MakePicture(uint32_t width, uint32_t height) {
    std::vector<uint8_t> rgb(size_t{width} * height * 3);
    uint32_t seed = 12345;
    size_t i = 0;
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            seed = seed * 1664525u + 1013904223u;
            const int grain = static_cast<int>(seed >> 28) - 8;
            const double fx = double(x) / width, fy = double(y) / height;
            const double wave = 40 * std::sin(fx * 9.0 + fy * 4.0) * std::cos(fy * 7.0);
            const int r = int(200 * fx + 30 + wave) + grain;
            const int g = int(180 * fy + 40 - wave) + grain;
            const int b = int(120 * (1 - fx * fy) + 60 + wave / 2) + grain;
            rgb[i++] = static_cast<uint8_t>(r < 0 ? 0 : r > 255 ? 255 : r);
            rgb[i++] = static_cast<uint8_t>(g < 0 ? 0 : g > 255 ? 255 : g);
            rgb[i++] = static_cast<uint8_t>(b < 0 ? 0 : b > 255 ? 255 : b);
        }
    }
    return rgb;
}

struct Files {
    std::vector<uint8_t> picture = MakePicture(kWidth, kHeight);
    std::string dir;
    std::string input, ourOutput, bareOutput;
    Files() {
        char name[] = "/tmp/tiff_bench_XXXXXX";
        dir = mkdtemp(name);
        input = dir + "/in.tif";
        ourOutput = dir + "/ours.tif";
        bareOutput = dir + "/bare.tif";
        PixWriteTIFF(input.c_str(), picture.data(), kWidth, kHeight);
    }
    ~Files() {
        for (const std::string& f : {input, ourOutput, bareOutput}) unlink(f.c_str());
        rmdir(dir.c_str());
    }
};

Files& Shared() {
    static Files files;
    return files;
}

void BM_PixReadTIFF(benchmark::State& state) {
    const Files& f = Shared();
    for (auto _ : state) {
        uint32_t w = 0, h = 0;
        HGLOBAL block = PixReadTIFF(f.input.c_str(), &w, &h);
        if (block == nullptr) state.SkipWithError("read failed");
        GlobalFree(block);
    }
}

void BM_BareReadRGBAImage(benchmark::State& state) {
    const Files& f = Shared();
    for (auto _ : state) {
        TIFF* tif = TIFFOpen(f.input.c_str(), "r");
        uint32_t w = 0, h = 0;
        TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
        TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
        auto* raster = static_cast<uint32_t*>(_TIFFmalloc(tmsize_t{w} * h * 4));
        if (!TIFFReadRGBAImage(tif, w, h, raster, 0)) state.SkipWithError("read failed");
        benchmark::DoNotOptimize(raster[0]);
        _TIFFfree(raster);
        TIFFClose(tif);
    }
}

void BM_PixWriteTIFF(benchmark::State& state) {
    const Files& f = Shared();
    for (auto _ : state) {
        if (!PixWriteTIFF(f.ourOutput.c_str(), f.picture.data(), kWidth, kHeight))
            state.SkipWithError("write failed");
    }
}

void BM_BareWriteScanline(benchmark::State& state) {
    const Files& f = Shared();
    for (auto _ : state) {
        TIFF* tif = TIFFOpen(f.bareOutput.c_str(), "w");
        TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, kWidth);
        TIFFSetField(tif, TIFFTAG_IMAGELENGTH, kHeight);
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tif, 0));  // same strips
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
        TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
        auto* row = const_cast<uint8_t*>(f.picture.data());
        for (uint32_t r = 0; r < kHeight; ++r, row += kWidth * 3)
            if (TIFFWriteScanline(tif, row, r, 0) < 0) state.SkipWithError("write failed");
        TIFFClose(tif);
    }
}

BENCHMARK(BM_PixReadTIFF)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BareReadRGBAImage)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PixWriteTIFF)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BareWriteScanline)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
