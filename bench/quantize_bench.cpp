// PixQuantize on a 24-megapixel photo-like picture: pixels per second, and
// the peak of the scratch memory it takes beyond the caller's buffers.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <new>
#include <random>
#include <vector>

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

constexpr uint32_t kWidth = 6000;
constexpr uint32_t kHeight = 4000;

// Smooth sky-to-ground gradients, a few soft blobs and sensor-like noise:
// many thousand distinct cubes, with the spatial coherence of a photo.
const std::vector<uint8_t>& Photo() {
    static const std::vector<uint8_t> rgb = [] {
        std::vector<uint8_t> out(size_t{kWidth} * kHeight * 3);
        std::mt19937 random(42);
        std::normal_distribution<float> noise(0.0f, 3.0f);
        size_t i = 0;
        for (uint32_t y = 0; y < kHeight; ++y) {
            const float v = static_cast<float>(y) / kHeight;
            for (uint32_t x = 0; x < kWidth; ++x) {
                const float u = static_cast<float>(x) / kWidth;
                const float blob = std::sin(u * 9.0f) * std::cos(v * 7.0f) * 40.0f;
                const float shade[3] = {60 + 150 * v + blob, 120 + 80 * u - 40 * v,
                                        220 - 160 * v - blob * 0.5f};
                for (float c : shade) {
                    const float value = c + noise(random);
                    out[i++] = static_cast<uint8_t>(value < 0 ? 0 : value > 255 ? 255 : value);
                }
            }
        }
        return out;
    }();
    return rgb;
}

void BM_Quantize(benchmark::State& state) {
    const std::vector<uint8_t>& rgb = Photo();
    std::vector<uint8_t> indices(size_t{kWidth} * kHeight);
    std::vector<RGBQUAD> palette(256);
    const auto colours = static_cast<unsigned>(state.range(0));
    size_t work = 0;
    for (auto _ : state) {
        const size_t before = g_live.load();
        g_peak = before;
        if (!PixQuantize(rgb.data(), indices.data(), kWidth, kHeight, colours, palette.data())) {
            state.SkipWithError("PixQuantize failed");
            break;
        }
        work = g_peak.load() - before;
        benchmark::DoNotOptimize(indices.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kWidth * kHeight);
    state.counters["work_bytes"] = static_cast<double>(work);
}
BENCHMARK(BM_Quantize)->Arg(128)->Arg(64)->Unit(benchmark::kMillisecond);

}  // namespace
