// SPDX-License-Identifier: GPL-3.0-or-later
// One binary layer of 2^20 columns at rate 1/10, costs of 2 to 12 nats, on
// each trellis the processor has: the 8-bit one (AVX-512 byte permutes
// where present), the 8-bit AVX2 one and the float one. Columns a second
// (each call also takes its path in fresh pages, some 20 ns a column at
// height 8, alike for all), and the cost each reaches against the float
// trellis, which keeps every sum exact.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "hiding/stc.h"

namespace {

struct Layer {
    static constexpr size_t kColumns = size_t{1} << 20;
    std::vector<uint8_t> x = std::vector<uint8_t>(kColumns);
    std::vector<uint8_t> msg = std::vector<uint8_t>(kColumns / 10);
    std::vector<float> w = std::vector<float>(kColumns);
    Layer() {
        std::mt19937 random(1);
        for (auto& b : x) b = random() & 1;
        for (auto& b : msg) b = random() & 1;
        for (auto& v : w) v = 2 + float(random() % 1000) / 100;
    }
    double Cost(const std::vector<uint8_t>& y) const {
        double cost = 0;
        for (size_t i = 0; i < kColumns; ++i)
            if (y[i] != x[i]) cost += w[i];
        return cost;
    }
};

bool Code(const Layer& layer, int height, int kernel, std::vector<uint8_t>* y) {
    return stc::EmbedBitsInStretches(layer.x.data(), layer.w.data(), Layer::kColumns,
                                     layer.msg.data(), layer.msg.size(), height, Layer::kColumns,
                                     y->data(), kernel != 2,
                                     kernel == 1 ? stc::Kernel::kAvx2 : stc::Kernel::kWidest);
}

// Args: height, kernel (0 the widest on 8 bits, 1 AVX2 on 8 bits, 2 float).
void BM_Layer(benchmark::State& state) {
    static const Layer layer;
    const int height = static_cast<int>(state.range(0)), kernel = static_cast<int>(state.range(1));
    std::vector<uint8_t> y(Layer::kColumns), exact(Layer::kColumns);
    for (auto _ : state)
        if (!Code(layer, height, kernel, &y)) state.SkipWithError("no way");
    if (!Code(layer, height, 2, &exact)) state.SkipWithError("no way");
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * Layer::kColumns));
    state.counters["cost_over_float"] = layer.Cost(y) / layer.Cost(exact);
}
BENCHMARK(BM_Layer)
    ->ArgsProduct({{8, 10, 12}, {0, 1, 2}})
    ->ArgNames({"height", "kernel"})
    ->Unit(benchmark::kMillisecond);

}  // namespace
