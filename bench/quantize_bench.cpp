// SPDX-License-Identifier: GPL-3.0-or-later
// PixQuantize on the 24-megapixel bench picture: pixels per second, and
// the peak of the scratch memory it takes beyond the caller's buffers.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#include "bench/bench_util.h"
#include "imagelib/quantize.h"

// Counts live heap bytes (as the allocator sizes them) and their peak, so
// the benchmark can report what one call takes on top of its inputs.
namespace {
std::atomic<size_t> g_live{0};
std::atomic<size_t> g_peak{0};

void* Allocate(size_t size) {
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p == nullptr) return nullptr;
    const size_t live = g_live += malloc_usable_size(p);
    size_t peak = g_peak.load();
    while (live > peak && !g_peak.compare_exchange_weak(peak, live)) {
    }
    return p;
}
void Release(void* p) {
    if (p == nullptr) return;
    g_live -= malloc_usable_size(p);
    std::free(p);
}
void* AllocateOrThrow(size_t size) {
    if (void* p = Allocate(size)) return p;
    throw std::bad_alloc();
}
}  // namespace

void* operator new(size_t size) {
    return AllocateOrThrow(size);
}
void* operator new[](size_t size) {
    return AllocateOrThrow(size);
}
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    return Allocate(size);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
    return Allocate(size);
}
void operator delete(void* p) noexcept {
    Release(p);
}
void operator delete[](void* p) noexcept {
    Release(p);
}
void operator delete(void* p, size_t) noexcept {
    Release(p);
}
void operator delete[](void* p, size_t) noexcept {
    Release(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    Release(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    Release(p);
}

namespace {

void BM_Quantize(benchmark::State& state) {
    const std::vector<uint8_t>& rgb = BenchPhoto();
    std::vector<uint8_t> indices(size_t{kBenchWidth} * kBenchHeight);
    std::vector<RGBQUAD> palette(256);
    const auto colours = static_cast<unsigned>(state.range(0));
    size_t work = 0;
    for (auto _ : state) {
        const size_t before = g_live.load();
        g_peak = before;
        if (!PixQuantize(rgb.data(), indices.data(), kBenchWidth, kBenchHeight, colours,
                         palette.data())) {
            state.SkipWithError("PixQuantize failed");
            break;
        }
        work = g_peak.load() - before;
        benchmark::DoNotOptimize(indices.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kBenchWidth * kBenchHeight);
    state.counters["work_bytes"] = static_cast<double>(work);
}
BENCHMARK(BM_Quantize)->Arg(128)->Arg(64)->Unit(benchmark::kMillisecond);

}  // namespace
