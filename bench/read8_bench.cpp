// SPDX-License-Identifier: GPL-3.0-or-later
// The 8-bit readers side by side on the bench picture as one index a pixel:
// PCX against BMP in one run, so their ratio holds on a busy machine. All
// files sit in the page cache (written once, then read over and over).
#include <benchmark/benchmark.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/bench_util.h"
#include "imagelib/bmp.h"
#include "imagelib/pcx.h"

namespace {

struct Inputs {
    std::string bmp = BenchTempPath("read8.bmp");
    std::string pcx = BenchTempPath("read8.pcx");
};

const Inputs& TheFiles() {
    static const Inputs files = [] {
        Inputs f;
        const BenchIndexed& indexed = BenchPhotoIndexed();
        if (!PixWriteBMP8(f.bmp.c_str(), indexed.indices.data(), kBenchWidth, kBenchHeight, 8, 256,
                          indexed.palette.data()) ||
            !PixWritePCX8(f.pcx.c_str(), indexed.indices.data(), kBenchWidth, kBenchHeight,
                          indexed.palette.data())) {
            std::fprintf(stderr, "cannot write the benchmark files %s, %s\n", f.bmp.c_str(),
                         f.pcx.c_str());
            std::exit(1);
        }
        return f;
    }();
    return files;
}

using Reader = HGLOBAL (*)(const char*, uint32_t*, uint32_t*, RGBQUAD*);

void Read(benchmark::State& state, const std::string& path, Reader read) {
    std::array<RGBQUAD, 256> palette{};
    for (auto _ : state) {
        uint32_t w = 0, h = 0;
        HGLOBAL image = read(path.c_str(), &w, &h, palette.data());
        if (image == nullptr) {
            state.SkipWithError("read failed");
            break;
        }
        GlobalFree(image);
    }
    state.SetItemsProcessed(state.iterations() * int64_t{kBenchWidth} * kBenchHeight);
}

void BM_ReadBmp8(benchmark::State& state) {
    Read(state, TheFiles().bmp, PixReadBMP8);
}
void BM_ReadPcx8(benchmark::State& state) {
    Read(state, TheFiles().pcx, PixReadPCX8);
}

// Wall-clock time: file I/O may wait as well as compute.
BENCHMARK(BM_ReadBmp8)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReadPcx8)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
