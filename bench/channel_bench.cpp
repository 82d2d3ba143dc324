// SPDX-License-Identifier: GPL-3.0-or-later
// Embedders and extractors over a 6000 x 4000 image, against memcpy of the
// same buffer. Every figure counts the image's 72 MB of colour bytes.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "hiding/channel.h"
#include "hiding/payload.h"

namespace {

constexpr uint32_t kWidth = 6000, kHeight = 4000;
constexpr uint64_t kPixels = uint64_t{kWidth} * kHeight;
constexpr size_t kBytes = kPixels * 3;

std::vector<uint8_t> Noise(size_t size) {
    std::vector<uint8_t> bytes(size);
    std::mt19937_64 random(1);
    for (size_t i = 0; i + 8 <= size; i += 8) {
        const uint64_t r = random();
        std::memcpy(&bytes[i], &r, 8);
    }
    return bytes;
}

void BM_Memcpy(benchmark::State& state) {
    const std::vector<uint8_t> source = Noise(kBytes);
    std::vector<uint8_t> target(kBytes);
    for (auto _ : state) {
        std::memcpy(target.data(), source.data(), kBytes);
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBytes));
}
BENCHMARK(BM_Memcpy)->Unit(benchmark::kMillisecond);

using Embedder = void (*)(uint8_t*, uint64_t, const uint8_t*, uint64_t);
using Extractor = bool (*)(const uint8_t*, uint8_t*, size_t, size_t, size_t*);

void BM_Embed(benchmark::State& state, Embedder embed, HidingMethod method) {
    std::vector<uint8_t> image = Noise(kBytes);
    const std::vector<uint8_t> payload = Noise(MethodCapacity(method, kWidth, kHeight));
    for (auto _ : state) {
        embed(image.data(), kPixels, payload.data(), payload.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBytes));
}
BENCHMARK_CAPTURE(BM_Embed, 666, Embed666, Method666)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Embed, 777, Embed777, Method777)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Embed, 886, Embed886, Method886)->Unit(benchmark::kMillisecond);

void BM_Extract(benchmark::State& state, Extractor extract, HidingMethod method) {
    const std::vector<uint8_t> image = Noise(kBytes);
    std::vector<uint8_t> out(MethodCapacity(method, kWidth, kHeight));
    for (auto _ : state) {
        size_t consumed = 0;
        extract(image.data(), out.data(), out.size(), image.size(), &consumed);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBytes));
}
BENCHMARK_CAPTURE(BM_Extract, Pairs, ExtractPairs, Method666)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Extract, Bits, ExtractBits, Method777)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Extract, BluePairs, ExtractBluePairs, Method886)
    ->Unit(benchmark::kMillisecond);

}  // namespace
