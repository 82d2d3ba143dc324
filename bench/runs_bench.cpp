// SPDX-License-Identifier: GPL-3.0-or-later
// Whole encode and decode runs on a 6000 x 4000 picture with a 1 MB data
// file, each beside its floor: the library calls the run cannot avoid.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>

#include "bench/bench_util.h"
#include "hiding/channel.h"
#include "hiding/runs.h"
#include "hiding/sealed_run.h"
#include "imagelib/pix.h"
#include "working/working_image.h"

namespace {


struct Files {
    std::string base = BenchTempPath("base.bmp");
    std::string data = BenchTempPath("data.bin");
    std::string scratch = BenchTempPath("scratch");
    Files() {
        const auto& photo = BenchPhoto();
        PixWriteBMP(base.c_str(), photo.data(), kBenchWidth, kBenchHeight);
        std::mt19937 random(3);
        std::string bytes(1 << 20, '\0');
        for (char& c : bytes) c = static_cast<char>(random());
        std::ofstream(data, std::ios::binary) << bytes;
        std::remove(scratch.c_str());
        std::filesystem::create_directory(scratch);
    }
};
const Files& SharedFiles() {
    static const Files files;
    return files;
}

// "66" for 666, "78" for 7/8: short names for the files a method writes.
std::string MethodTag(HidingMethod method) {
    const char* name = GetMethodInfo(method).name;
    return {name[0], name[2]};
}

BenchDialog DialogFor(HidingMethod method, const std::string& extension) {
    const Files& files = SharedFiles();
    BenchDialog dialog;
    dialog.base = files.base;
    dialog.data = files.data;
    dialog.output = BenchTempPath("carrier-" + MethodTag(method) + extension);
    dialog.directory = files.scratch;
    return dialog;
}

// Each encode writes a new output, as a user's usually does. Replacing an
// existing one costs more on ext4, which flushes the new file's data before
// a rename over an old one: that is the price of never damaging the old file.
void BM_Encode(benchmark::State& state, HidingMethod method, std::string extension) {
    BenchDialog dialog = DialogFor(method, extension);
    for (auto _ : state) {
        state.PauseTiming();
        std::remove(dialog.output.c_str());
        state.ResumeTiming();
        if (EncodeRun(dialog, method) != 0) state.SkipWithError("encode failed");
    }
}

// Load the base image and write the output with the library alone.
void BM_EncodeFloor(benchmark::State& state, HidingMethod method, std::string extension) {
    BenchDialog dialog = DialogFor(method, extension);
    const std::string output = BenchTempPath("floor-" + MethodTag(method) + extension);
    for (auto _ : state) {
        state.PauseTiming();
        std::remove(output.c_str());
        state.ResumeTiming();
        uint32_t width = 0, height = 0;
        HGLOBAL block = PixReadBMP(dialog.base.c_str(), &width, &height);
        const auto* rgb = static_cast<const uint8_t*>(GlobalLock(block));
        if (GetMethodInfo(method).indexed) {
            std::unique_ptr<uint8_t[]> indices(new uint8_t[size_t{width} * height]);
            RGBQUAD palette[256] = {};
            PixQuantize(rgb, indices.get(), width, height, 128, palette);
            PixWriteBMP8(output.c_str(), indices.get(), width, height, 8, 256, palette);
        } else if (extension == ".png") {
            PixWritePNG(output.c_str(), rgb, width, height, 0.0);
        } else {
            PixWriteBMP(output.c_str(), rgb, width, height);
        }
        GlobalUnlock(block);
        GlobalFree(block);
    }
}

void BM_Decode(benchmark::State& state, HidingMethod method, std::string extension) {
    BenchDialog dialog = DialogFor(method, extension);
    if (EncodeRun(dialog, method) != 0) state.SkipWithError("encode failed");
    const std::string extracted = dialog.directory + "/" + FileNamePart(dialog.data);
    for (auto _ : state) {
        state.PauseTiming();
        std::remove(extracted.c_str());
        state.ResumeTiming();
        const int found = DetectMethod(dialog, dialog.output);
        if (found != method || DecodeRun(dialog, method, dialog.output) != 0)
            state.SkipWithError("decode failed");
    }
}

// The loads that detection and the decode make: every probe before the
// method's own, then the method's probe and the decode's own load.
void BM_DecodeFloor(benchmark::State& state, HidingMethod method, std::string extension) {
    BenchDialog dialog = DialogFor(method, extension);
    if (EncodeRun(dialog, method) != 0) state.SkipWithError("encode failed");
    const char* path = dialog.output.c_str();
    for (auto _ : state) {
        for (HidingMethod probe : kDetectionOrder) {
            const int loads = probe == method ? 2 : 1;
            for (int i = 0; i < loads; ++i) {
                uint32_t width = 0, height = 0;
                RGBQUAD palette[256];
                HGLOBAL block = nullptr;
                if (GetMethodInfo(probe).indexed) {
                    block = ReadIndexedByExtension(path, &width, &height, palette);
                } else if (extension == ".png") {
                    block = PixReadPNG(path, &width, &height);
                } else {
                    block = PixReadBMP(path, &width, &height);
                }
                GlobalFree(block);
            }
            if (probe == method) break;
        }
    }
}

#define RUN_PAIR(name, method, extension)                                                      \
    BENCHMARK_CAPTURE(BM_Encode, name, method, extension)->Unit(benchmark::kMillisecond);      \
    BENCHMARK_CAPTURE(BM_EncodeFloor, name, method, extension)->Unit(benchmark::kMillisecond); \
    BENCHMARK_CAPTURE(BM_Decode, name, method, extension)->Unit(benchmark::kMillisecond);      \
    BENCHMARK_CAPTURE(BM_DecodeFloor, name, method, extension)->Unit(benchmark::kMillisecond)

RUN_PAIR(666_png, Method666, ".png");
RUN_PAIR(777_bmp, Method777, ".bmp");
RUN_PAIR(78_bmp, Method78, ".bmp");

// Peak resident memory a 24-bit encode adds, against the pixel buffer plus
// the payload. /proc/self/clear_refs "5" resets the peak to the current size.
long StatusKilobytes(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::strlen(field)));
    return -1;
}

void BM_EncodePeakMemory(benchmark::State& state) {
    BenchDialog dialog = DialogFor(Method777, ".bmp");
    for (auto _ : state) {
        std::ofstream("/proc/self/clear_refs") << "5";
        const long before = StatusKilobytes("VmRSS:");
        EncodeRun(dialog, Method777);
        const long peak = StatusKilobytes("VmHWM:");
        const double budget = (double(kBenchWidth) * kBenchHeight * 3 + (1 << 20)) / 1024;
        state.counters["extra_MB"] = double(peak - before) / 1024;
        state.counters["of_budget"] = double(peak - before) / budget;
    }
}
BENCHMARK(BM_EncodePeakMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

// Sealed against 777 on the same picture and data, written as PNG. Each
// sealed run derives its key once; BM_SealedKeyDerivation shows that part.
// A sealed decode is what a user's takes: the five probes find nothing,
// then the sealed decode.
const Passphrase& BenchPassphrase() {
    static const Passphrase passphrase = [] {
        Passphrase p;
        p.Assign("a passphrase for benchmarks", 27);
        return p;
    }();
    return passphrase;
}

void BM_SealedEncode(benchmark::State& state) {
    BenchDialog dialog = DialogFor(MethodSealed, ".png");
    for (auto _ : state) {
        state.PauseTiming();
        std::remove(dialog.output.c_str());
        state.ResumeTiming();
        if (EncodeSealedRun(dialog, BenchPassphrase()) != 0) state.SkipWithError("encode failed");
    }
}

void BM_SealedDecode(benchmark::State& state) {
    BenchDialog dialog = DialogFor(MethodSealed, ".png");
    if (EncodeSealedRun(dialog, BenchPassphrase()) != 0) state.SkipWithError("encode failed");
    const std::string extracted = dialog.directory + "/" + FileNamePart(dialog.data);
    for (auto _ : state) {
        state.PauseTiming();
        std::remove(extracted.c_str());
        state.ResumeTiming();
        if (DetectMethod(dialog, dialog.output) != -1 ||
            DecodeSealedRun(dialog, dialog.output, BenchPassphrase()) != 0)
            state.SkipWithError("decode failed");
    }
}

BENCHMARK_CAPTURE(BM_Encode, 777_png, Method777, ".png")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SealedEncode)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Decode, 777_png, Method777, ".png")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SealedDecode)->Unit(benchmark::kMillisecond);

// One key derivation and the memory it takes: a decode of a small picture
// that carries nothing reads the salt, derives, and fails on the header.
void BM_SealedKeyDerivation(benchmark::State& state) {
    const std::vector<uint8_t> pixels(size_t{64} * 64 * 3, 128);
    for (auto _ : state) {
        std::ofstream("/proc/self/clear_refs") << "5";
        const long before = StatusKilobytes("VmRSS:");
        const UnsealedFile file = UnsealFile(pixels.data(), 64 * 64, BenchPassphrase());
        if (file.message != kSealedFailedMessage) state.SkipWithError("opened a header");
        state.counters["extra_MB"] = double(StatusKilobytes("VmHWM:") - before) / 1024;
    }
}
BENCHMARK(BM_SealedKeyDerivation)->Unit(benchmark::kMillisecond);

// The embedding alone, beside 777's, on the picture in memory (the sealed
// figure includes its one key derivation).
void BM_SealedEmbed(benchmark::State& state) {
    std::mt19937 random(3);
    std::vector<uint8_t> data(1 << 20);
    for (uint8_t& b : data) b = static_cast<uint8_t>(random());
    SealedRecord record;
    PackRecord("data.bin", data.data(), data.size(), &record);
    std::vector<uint8_t> pixels = BenchPhoto();
    for (auto _ : state)
        if (SealRecord(pixels.data(), kBenchWidth, kBenchHeight, BenchPassphrase(),
                       record) != 0)
            state.SkipWithError("seal failed");
}
BENCHMARK(BM_SealedEmbed)->Unit(benchmark::kMillisecond);

void BM_Embed777(benchmark::State& state) {
    std::mt19937 random(3);
    std::vector<uint8_t> payload((1 << 20) + 30);
    for (uint8_t& b : payload) b = static_cast<uint8_t>(random());
    std::vector<uint8_t> pixels = BenchPhoto();
    for (auto _ : state)
        Embed777(pixels.data(), uint64_t{kBenchWidth} * kBenchHeight, payload.data(),
                 payload.size());
}
BENCHMARK(BM_Embed777)->Unit(benchmark::kMillisecond);

}  // namespace
