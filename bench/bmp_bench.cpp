// SPDX-License-Identifier: GPL-3.0-or-later
// BMP read and write throughput on the 6000 x 4000 bench picture, against plain
// fread and fwrite of a file of the same size, all through the page cache.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "imagelib/bmp.h"

namespace {

// The input files, 24-bit and 8-bit, written once.
struct Inputs {
    std::string rgb = BenchTempPath("rgb24.bmp");
    std::string indexed = BenchTempPath("pal8.bmp");
};

const Inputs& TheFiles() {
    static const Inputs files = [] {
        Inputs f;
        const BenchIndexed& indexed = BenchPhotoIndexed();
        if (!PixWriteBMP(f.rgb.c_str(), BenchPhoto().data(), kBenchWidth, kBenchHeight) ||
            !PixWriteBMP8(f.indexed.c_str(), indexed.indices.data(), kBenchWidth, kBenchHeight, 8,
                          256, indexed.palette.data())) {
            std::fprintf(stderr, "cannot write the benchmark files %s, %s\n", f.rgb.c_str(),
                         f.indexed.c_str());
            std::exit(1);
        }
        return f;
    }();
    return files;
}

int64_t FileBytes(const std::string& path) {
    return static_cast<int64_t>(std::filesystem::file_size(path));
}

void BM_ReadBmp24(benchmark::State& state) {
    const std::string path = TheFiles().rgb;
    for (auto _ : state) {
        uint32_t w = 0, h = 0;
        HGLOBAL image = PixReadBMP(path.c_str(), &w, &h);
        if (image == nullptr) state.SkipWithError("read failed");
        GlobalFree(image);
    }
    state.SetBytesProcessed(state.iterations() * FileBytes(path));
}

void BM_ReadBmp8(benchmark::State& state) {
    const std::string path = TheFiles().indexed;
    std::array<RGBQUAD, 256> palette{};
    for (auto _ : state) {
        uint32_t w = 0, h = 0;
        HGLOBAL image = PixReadBMP8(path.c_str(), &w, &h, palette.data());
        if (image == nullptr) state.SkipWithError("read failed");
        GlobalFree(image);
    }
    state.SetBytesProcessed(state.iterations() * FileBytes(path));
}

void BM_WriteBmp24(benchmark::State& state) {
    const std::string out = BenchTempPath("out24.bmp");
    const uint8_t* rgb = BenchPhoto().data();
    for (auto _ : state) {
        if (!PixWriteBMP(out.c_str(), rgb, kBenchWidth, kBenchHeight))
            state.SkipWithError("write failed");
    }
    state.SetBytesProcessed(state.iterations() * FileBytes(out));
}

void BM_WriteBmp8(benchmark::State& state) {
    const std::string out = BenchTempPath("out8.bmp");
    const BenchIndexed& indexed = BenchPhotoIndexed();
    for (auto _ : state) {
        if (!PixWriteBMP8(out.c_str(), indexed.indices.data(), kBenchWidth, kBenchHeight, 8, 256,
                          indexed.palette.data())) {
            state.SkipWithError("write failed");
        }
    }
    state.SetBytesProcessed(state.iterations() * FileBytes(out));
}

// The references: the whole file in one fread into a buffer made once, and one
// fwrite of a buffer of the same size. Argument 24 or 8 picks the file.
std::string ReferenceFile(const benchmark::State& state) {
    return state.range(0) == 24 ? TheFiles().rgb : TheFiles().indexed;
}

void BM_PlainFread(benchmark::State& state) {
    const std::string path = ReferenceFile(state);
    std::vector<uint8_t> buffer(static_cast<size_t>(FileBytes(path)));
    for (auto _ : state) {
        std::FILE* f = std::fopen(path.c_str(), "rb");
        if (f == nullptr || std::fread(buffer.data(), 1, buffer.size(), f) != buffer.size()) {
            state.SkipWithError("fread failed");
        }
        if (f != nullptr) std::fclose(f);
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(buffer.size()));
}

// Not a reference, a breakdown: the same fread into a fresh block from
// GlobalAlloc, as a reader must return, which pays for faulting in new pages.
void BM_PlainFreadFreshBlock(benchmark::State& state) {
    const std::string path = ReferenceFile(state);
    const size_t bytes = static_cast<size_t>(FileBytes(path));
    for (auto _ : state) {
        HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, bytes);
        void* data = GlobalLock(block);
        std::FILE* f = std::fopen(path.c_str(), "rb");
        if (data == nullptr || f == nullptr || std::fread(data, 1, bytes, f) != bytes) {
            state.SkipWithError("fread failed");
        }
        if (f != nullptr) std::fclose(f);
        GlobalUnlock(block);
        GlobalFree(block);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes));
}

void BM_PlainFwrite(benchmark::State& state) {
    const std::string path = ReferenceFile(state);
    const std::vector<uint8_t> buffer(static_cast<size_t>(FileBytes(path)), 0x5A);
    const std::string out = BenchTempPath("plain.bin");
    for (auto _ : state) {
        std::FILE* f = std::fopen(out.c_str(), "wb");
        if (f == nullptr || std::fwrite(buffer.data(), 1, buffer.size(), f) != buffer.size()) {
            state.SkipWithError("fwrite failed");
        }
        if (f != nullptr) std::fclose(f);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(buffer.size()));
}

// Wall-clock time: file I/O may wait as well as compute.
BENCHMARK(BM_ReadBmp24)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PlainFread)->Arg(24)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PlainFreadFreshBlock)->Arg(24)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_WriteBmp24)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PlainFwrite)->Arg(24)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReadBmp8)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PlainFread)->Arg(8)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PlainFreadFreshBlock)->Arg(8)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_WriteBmp8)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PlainFwrite)->Arg(8)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
