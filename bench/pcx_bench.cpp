// SPDX-License-Identifier: GPL-3.0-or-later
// PCX read and write of the 6000 x 4000 bench picture, 24-bit and 8-bit,
// beside plain fread and fwrite of the same number of pixel bytes. All files
// sit in the page cache (written once, then read over and over).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "imagelib/pcx.h"

namespace {

struct Fixture {
    const std::vector<uint8_t>& rgb = BenchPhoto();
    const std::vector<uint8_t>& indices = BenchPhotoIndexed().indices;
    const RGBQUAD* palette = BenchPhotoIndexed().palette.data();
    const std::string rgbFile = BenchTempPath("rgb.pcx");
    const std::string indexFile = BenchTempPath("index.pcx");
    const std::string plainRgb = BenchTempPath("rgb.raw");
    const std::string plainIndex = BenchTempPath("index.raw");
    const std::string output = BenchTempPath("out");

    Fixture() {
        PixWritePCX(rgbFile.c_str(), rgb.data(), kBenchWidth, kBenchHeight);
        PixWritePCX8(indexFile.c_str(), indices.data(), kBenchWidth, kBenchHeight, palette);
        WritePlain(plainRgb, rgb);
        WritePlain(plainIndex, indices);
    }

    static bool WritePlain(const std::string& path, const std::vector<uint8_t>& bytes) {
        std::FILE* file = std::fopen(path.c_str(), "wb");
        if (file == nullptr) return false;
        const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
        return std::fclose(file) == 0 && ok;
    }
};

Fixture& Data() {
    static Fixture fixture;
    return fixture;
}

void SetBytes(benchmark::State& state, size_t bytes) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

void BM_ReadPcx24(benchmark::State& state) {
    Fixture& f = Data();
    for (auto _ : state) {
        uint32_t w = 0, h = 0;
        HGLOBAL block = PixReadPCX(f.rgbFile.c_str(), &w, &h);
        if (block == nullptr) state.SkipWithError("read failed");
        GlobalFree(block);
    }
    SetBytes(state, f.rgb.size());
}

void BM_WritePcx24(benchmark::State& state) {
    Fixture& f = Data();
    for (auto _ : state) {
        if (!PixWritePCX(f.output.c_str(), f.rgb.data(), kBenchWidth, kBenchHeight)) {
            state.SkipWithError("write failed");
        }
    }
    SetBytes(state, f.rgb.size());
}

void BM_ReadPcx8(benchmark::State& state) {
    Fixture& f = Data();
    for (auto _ : state) {
        uint32_t w = 0, h = 0;
        RGBQUAD palette[256];
        HGLOBAL block = PixReadPCX8(f.indexFile.c_str(), &w, &h, palette);
        if (block == nullptr) state.SkipWithError("read failed");
        GlobalFree(block);
    }
    SetBytes(state, f.indices.size());
}

void BM_WritePcx8(benchmark::State& state) {
    Fixture& f = Data();
    for (auto _ : state) {
        if (!PixWritePCX8(f.output.c_str(), f.indices.data(), kBenchWidth, kBenchHeight,
                          f.palette)) {
            state.SkipWithError("write failed");
        }
    }
    SetBytes(state, f.indices.size());
}

// The reference: the same pixel bytes through plain stdio. `fresh` reads
// into a new zero-filled block per call, as a reader must return one; the
// other variant reuses one buffer and measures the copy alone.
void PlainRead(benchmark::State& state, const std::string& path, size_t bytes, bool fresh) {
    std::vector<uint8_t> reused(fresh ? 0 : bytes);
    for (auto _ : state) {
        HGLOBAL block = fresh ? GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, bytes) : nullptr;
        uint8_t* buffer = fresh ? static_cast<uint8_t*>(GlobalLock(block)) : reused.data();
        std::FILE* file = std::fopen(path.c_str(), "rb");
        if (file == nullptr || std::fread(buffer, 1, bytes, file) != bytes) {
            state.SkipWithError("fread failed");
        }
        if (file != nullptr) std::fclose(file);
        benchmark::DoNotOptimize(buffer);
        if (fresh) {
            GlobalUnlock(block);
            GlobalFree(block);
        }
    }
    SetBytes(state, bytes);
}

void PlainWrite(benchmark::State& state, const std::vector<uint8_t>& bytes) {
    const std::string& path = Data().output;
    for (auto _ : state) {
        if (!Fixture::WritePlain(path, bytes)) state.SkipWithError("fwrite failed");
    }
    SetBytes(state, bytes.size());
}

void BM_PlainFread24(benchmark::State& state) {
    PlainRead(state, Data().plainRgb, Data().rgb.size(), true);
}
void BM_PlainFread24Reused(benchmark::State& state) {
    PlainRead(state, Data().plainRgb, Data().rgb.size(), false);
}
void BM_PlainFwrite24(benchmark::State& state) {
    PlainWrite(state, Data().rgb);
}
void BM_PlainFread8(benchmark::State& state) {
    PlainRead(state, Data().plainIndex, Data().indices.size(), true);
}
void BM_PlainFread8Reused(benchmark::State& state) {
    PlainRead(state, Data().plainIndex, Data().indices.size(), false);
}
void BM_PlainFwrite8(benchmark::State& state) {
    PlainWrite(state, Data().indices);
}

}  // namespace

BENCHMARK(BM_PlainFread24)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainFread24Reused)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadPcx24)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainFwrite24)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WritePcx24)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainFread8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainFread8Reused)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadPcx8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainFwrite8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WritePcx8)->Unit(benchmark::kMillisecond);
