// SPDX-License-Identifier: GPL-3.0-or-later
// Detection and decoding against one bare load of the whole picture, on
// 6000 x 4000 carriers in every format a 24-bit carrier is written in, and
// in the two an 8-bit one is read from. Compare each row with the Load row
// of its format in the same run (and Decode_full with Load + Write).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "bench/bench_util.h"
#include "hiding/runs.h"
#include "imagelib/pix.h"
#include "working/working_image.h"

namespace {


constexpr uint64_t kFull = 0;  // a payload as large as the method carries

// The scratch folder for extracted files; removed with what it holds at exit.
const std::string& ScratchDir() {
    static const struct Dir {
        std::string path = BenchTempPath("extracted");
        Dir() { std::filesystem::create_directory(path); }
        ~Dir() {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        }
    } dir;
    return dir.path;
}

std::string Tag(HidingMethod method, uint64_t bytes, const std::string& extension) {
    const std::string name = GetMethodInfo(method).name;
    return name.substr(0, 1) + name.substr(2) + "-" + std::to_string(bytes) + extension;
}

uint64_t DataBytes(HidingMethod method, uint64_t bytes) {
    if (bytes != kFull) return bytes;
    const uint64_t name = std::string("data.bin").size() + 1;
    return MethodCapacity(method, kBenchWidth, kBenchHeight) - 16 - name;
}

// The carrier of `bytes` under `method`, written once per program.
const std::string& Carrier(HidingMethod method, uint64_t bytes, const std::string& extension) {
    static std::map<std::string, std::string> made;
    const std::string tag = Tag(method, bytes, extension);
    auto found = made.find(tag);
    if (found != made.end()) return found->second;

    static const std::string base = [] {
        const std::string path = BenchTempPath("base.bmp");
        PixWriteBMP(path.c_str(), BenchPhoto().data(), kBenchWidth, kBenchHeight);
        return path;
    }();
    const std::string data = BenchTempPath(tag + ".dir");
    std::filesystem::create_directory(data);
    const std::string dataFile = data + "/data.bin";
    {
        std::vector<char> content(DataBytes(method, bytes));
        std::mt19937 random(7);
        for (char& c : content) c = static_cast<char>(random());
        std::FILE* file = std::fopen(dataFile.c_str(), "wb");
        std::fwrite(content.data(), 1, content.size(), file);
        std::fclose(file);
    }
    BenchDialog dialog;
    dialog.base = base;
    dialog.data = dataFile;
    dialog.output = BenchTempPath("carrier-" + tag);
    const int code = EncodeRun(dialog, method);
    std::filesystem::remove_all(data);
    if (code != 0) std::fprintf(stderr, "encode %s: %d\n", tag.c_str(), code);
    return made[tag] = dialog.output;
}

// One bare load of the whole picture with the library reader of the format.
void BM_Load(benchmark::State& state, HidingMethod method, std::string extension) {
    const std::string& path = Carrier(method, 1024, extension);
    for (auto _ : state) {
        uint32_t width = 0, height = 0;
        RGBQUAD palette[256];
        HGLOBAL block = GetMethodInfo(method).indexed
                            ? ReadIndexedByExtension(path, &width, &height, palette)
                            : [&] {
                                  CWorkingImage image;
                                  image.Load(path);
                                  HGLOBAL pixels = image.pixels;
                                  image.pixels = nullptr;
                                  width = image.width;
                                  return pixels;
                              }();
        if (block == nullptr || width != kBenchWidth) state.SkipWithError("load failed");
        GlobalFree(block);
    }
}

void BM_Detect(benchmark::State& state, HidingMethod method, std::string extension) {
    const std::string& path = Carrier(method, 1024, extension);
    BenchDialog dialog;
    for (auto _ : state)
        if (DetectMethod(dialog, path) != method) state.SkipWithError("detect failed");
}

// What the Decode command does: detect, then decode and write the file.
void BM_Decode(benchmark::State& state, HidingMethod method, uint64_t bytes,
               std::string extension) {
    const std::string& path = Carrier(method, bytes, extension);
    BenchDialog dialog;
    dialog.directory = ScratchDir();
    const std::string extracted = ScratchDir() + "/data.bin";
    for (auto _ : state) {
        const int found = DetectMethod(dialog, path);
        if (found != method || DecodeRun(dialog, method, path) != 0)
            state.SkipWithError("decode failed");
        state.PauseTiming();
        std::remove(extracted.c_str());
        state.ResumeTiming();
    }
}

// Writing the extracted file of a full payload: the part of a decode no
// reading can save.
void BM_Write(benchmark::State& state, HidingMethod method) {
    const std::vector<char> content(DataBytes(method, kFull), 'x');
    const std::string path = ScratchDir() + "/written.bin";
    for (auto _ : state) {
        std::FILE* file = std::fopen(path.c_str(), "wb");
        std::fwrite(content.data(), 1, content.size(), file);
        std::fclose(file);
        state.PauseTiming();
        std::remove(path.c_str());
        state.ResumeTiming();
    }
}

#define FORMAT_SET(name, method, extension)                                               \
    BENCHMARK_CAPTURE(BM_Load, name, method, extension)->Unit(benchmark::kMillisecond);   \
    BENCHMARK_CAPTURE(BM_Detect, name, method, extension)->Unit(benchmark::kMillisecond); \
    BENCHMARK_CAPTURE(BM_Decode, name##_1KiB, method, 1024, extension)                    \
        ->Unit(benchmark::kMillisecond);                                                  \
    BENCHMARK_CAPTURE(BM_Decode, name##_1MiB, method, 1 << 20, extension)                 \
        ->Unit(benchmark::kMillisecond);                                                  \
    BENCHMARK_CAPTURE(BM_Decode, name##_full, method, kFull, extension)                   \
        ->Unit(benchmark::kMillisecond)

FORMAT_SET(777_png, Method777, ".png");
FORMAT_SET(777_tif, Method777, ".tif");
FORMAT_SET(777_bmp, Method777, ".bmp");
FORMAT_SET(777_pcx, Method777, ".pcx");
BENCHMARK_CAPTURE(BM_Write, 777_full, Method777)->Unit(benchmark::kMillisecond);
FORMAT_SET(78_bmp, Method78, ".bmp");
FORMAT_SET(78_pcx, Method78, ".pcx");
BENCHMARK_CAPTURE(BM_Write, 78_full, Method78)->Unit(benchmark::kMillisecond);

}  // namespace
