// SPDX-License-Identifier: GPL-3.0-or-later
// TIFF reader and writer against libtiff doing the same job in a bare loop,
// on the 6000 x 4000 bench picture.
#include <benchmark/benchmark.h>
#include <tiffio.h>

#include <cstdint>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "imagelib/tiff.h"

namespace {

struct Files {
    const std::vector<uint8_t>& picture = BenchPhoto();
    const std::string input = BenchTempPath("in.tif");
    const std::string ourOutput = BenchTempPath("ours.tif");
    const std::string bareOutput = BenchTempPath("bare.tif");
    Files() { PixWriteTIFF(input.c_str(), picture.data(), kBenchWidth, kBenchHeight); }
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
        if (!PixWriteTIFF(f.ourOutput.c_str(), f.picture.data(), kBenchWidth, kBenchHeight))
            state.SkipWithError("write failed");
    }
}

void BM_BareWriteScanline(benchmark::State& state) {
    const Files& f = Shared();
    for (auto _ : state) {
        TIFF* tif = TIFFOpen(f.bareOutput.c_str(), "w");
        TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, kBenchWidth);
        TIFFSetField(tif, TIFFTAG_IMAGELENGTH, kBenchHeight);
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tif, 0));  // same strips
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
        TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
        auto* row = const_cast<uint8_t*>(f.picture.data());
        for (uint32_t r = 0; r < kBenchHeight; ++r, row += kBenchWidth * 3)
            if (TIFFWriteScanline(tif, row, r, 0) < 0) state.SkipWithError("write failed");
        TIFFClose(tif);
    }
}

BENCHMARK(BM_PixReadTIFF)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BareReadRGBAImage)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PixWriteTIFF)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BareWriteScanline)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
