// SPDX-License-Identifier: GPL-3.0-or-later
// How soon a read or write of the 6000 x 4000 bench picture ends once its
// thread's cancel flag is set part-way through: the time from setting the
// flag to the call's return (manual time). The Whole cases time the same
// call left to finish, for comparison.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "bench/bench_util.h"
#include "imagelib/pix.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::string& JpegFile(bool progressive) {
    static const std::string paths[2] = {BenchTempPath("stop.jpg"), BenchTempPath("stop-p.jpg")};
    static bool written[2] = {};
    if (!written[progressive]) {
        if (!PixWriteJPG(paths[progressive].c_str(), BenchPhoto().data(), kBenchWidth,
                         kBenchHeight, 75, 1, progressive))
            std::abort();
        written[progressive] = true;
    }
    return paths[progressive];
}

void PngWrite() {
    static const std::string path = BenchTempPath("stop.png");
    PixWritePNG(path.c_str(), BenchPhoto().data(), kBenchWidth, kBenchHeight, 0);
}

void JpegRead(bool progressive) {
    uint32_t width = 0, height = 0;
    if (HGLOBAL block = PixReadJPG(JpegFile(progressive).c_str(), &width, &height))
        GlobalFree(block);
}

// Runs `call` on a thread of its own and sets its flag after `delay`.
void StopAfter(benchmark::State& state, const std::function<void()>& call,
               std::chrono::milliseconds delay) {
    for (auto _ : state) {
        std::atomic<bool> flag{false};
        Clock::time_point ended;
        std::thread worker([&] {
            PixSetCancelFlag(&flag);
            call();
            ended = Clock::now();
            PixSetCancelFlag(nullptr);
        });
        std::this_thread::sleep_for(delay);
        const Clock::time_point set = Clock::now();
        flag = true;
        worker.join();
        // A call that ended before the flag counts as 0.
        state.SetIterationTime(
            std::max(0.0, std::chrono::duration<double>(ended - set).count()));
    }
}

void BM_StopPngWrite(benchmark::State& state) {
    BenchPhoto();
    StopAfter(state, PngWrite, std::chrono::milliseconds(300));
}
void BM_StopJpegRead(benchmark::State& state) {
    JpegFile(false);
    StopAfter(state, [] { JpegRead(false); }, std::chrono::milliseconds(50));
}
void BM_StopProgressiveJpegRead(benchmark::State& state) {
    JpegFile(true);
    StopAfter(state, [] { JpegRead(true); }, std::chrono::milliseconds(200));
}

void BM_WholePngWrite(benchmark::State& state) {
    BenchPhoto();
    for (auto _ : state) PngWrite();
}
void BM_WholeJpegRead(benchmark::State& state) {
    JpegFile(false);
    for (auto _ : state) JpegRead(false);
}
void BM_WholeProgressiveJpegRead(benchmark::State& state) {
    JpegFile(true);
    for (auto _ : state) JpegRead(true);
}

}  // namespace

BENCHMARK(BM_StopPngWrite)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_WholePngWrite)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_StopJpegRead)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_WholeJpegRead)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_StopProgressiveJpegRead)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);
BENCHMARK(BM_WholeProgressiveJpegRead)->Unit(benchmark::kMillisecond)->Iterations(3);
