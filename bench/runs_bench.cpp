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

#include "working/working_image.h"
#include "bench/bench_util.h"
#include "hiding/runs.h"
#include "imagelib/pix.h"

namespace {

class SilentDialog : public DialogPort {
  public:
    std::string base, data, output, directory;
    std::string BaseImagePath() override { return base; }
    std::string DataFilePath() override { return data; }
    std::string OutputImagePath() override { return output; }
    int MethodIndex() override { return 0; }
    void SetStatus(const std::string&) override {}
    void SetProgressPosition(int) override {}
    void StepProgress() override {}
    void SetCapacityText(const std::string&) override {}
    void ShowMessage(const std::string& text) override {
        std::fprintf(stderr, "%s\n", text.c_str());
    }
    bool AskYesNo(const std::string&) override { return true; }
    std::string AskOutputFile(const std::string&) override { return {}; }
    void Pause(unsigned) override {}
    std::string OutputDirectory() override { return directory; }
};

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

SilentDialog DialogFor(HidingMethod method, const std::string& extension) {
    const Files& files = SharedFiles();
    SilentDialog dialog;
    dialog.base = files.base;
    dialog.data = files.data;
    dialog.output = BenchTempPath(std::string("carrier-") + GetMethodInfo(method).name[0] +
                                  GetMethodInfo(method).name[2] + extension);
    dialog.directory = files.scratch;
    return dialog;
}

// Each encode writes a new output, as a user's usually does. Replacing an
// existing one costs more on ext4, which flushes the new file's data before
// a rename over an old one: that is the price of never damaging the old file.
void BM_Encode(benchmark::State& state, HidingMethod method, std::string extension) {
    SilentDialog dialog = DialogFor(method, extension);
    for (auto _ : state) {
        state.PauseTiming();
        std::remove(dialog.output.c_str());
        state.ResumeTiming();
        if (EncodeRun(dialog, method) != 0) state.SkipWithError("encode failed");
    }
}

// Load the base image and write the output with the library alone.
void BM_EncodeFloor(benchmark::State& state, HidingMethod method, std::string extension) {
    SilentDialog dialog = DialogFor(method, extension);
    const std::string output = dialog.output + ".floor" + extension;
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
    SilentDialog dialog = DialogFor(method, extension);
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
    SilentDialog dialog = DialogFor(method, extension);
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
    SilentDialog dialog = DialogFor(Method777, ".bmp");
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

}  // namespace
