// SPDX-License-Identifier: GPL-3.0-or-later
// PNG writes of real photographs: libpng's row writer (what PixWritePNG was)
// against the segmented writer on 1, 2 and all threads, then whole
// `ombrel-cli encode` runs into PNG, the previous program against this one.
// scripts/bench_png.sh fetches the photographs from a Debian package and
// names them (and the previous program) in the environment:
//   OMBREL_BENCH_PHOTO_LARGE  a camera photograph, cropped and scaled to 6000 x 4000
//   OMBREL_BENCH_PHOTO_HD     another, cropped and scaled to 1920 x 1080
//   OMBREL_BENCH_OLD_CLI      an ombrel-cli built before the segmented writer
// Time is wall time; CPU is the whole process's (every thread), and for the
// program runs the child's; `bytes` is the file written; `extra_memory` is
// the first write's peak resident memory above what was resident before it,
// as a fraction of the pixel block: clean only for a row run alone
// (--benchmark_filter), as memory an earlier row freed may be reused.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "imagelib/bmp.h"
#include "imagelib/jpeg.h"
#include "imagelib/png.h"

extern char** environ;

namespace {

struct Photo {
    std::vector<uint8_t> rgb;
    uint32_t width = 0, height = 0;
};

// The photograph at `path`, centre-cropped to the target's shape and scaled
// bilinearly to it. Empty when the file is missing or unreadable.
Photo Prepare(const char* path, uint32_t width, uint32_t height) {
    Photo out;
    uint32_t w = 0, h = 0;
    HGLOBAL block = path != nullptr ? PixReadJPG(path, &w, &h) : nullptr;
    if (block == nullptr) return out;
    const auto* src = static_cast<const uint8_t*>(GlobalLock(block));
    double cropW = w, cropH = double(w) * height / width;
    if (cropH > h) cropH = h, cropW = double(h) * width / height;
    const double x0 = (w - cropW) / 2, y0 = (h - cropH) / 2;
    out.rgb.resize(size_t{width} * height * 3);
    out.width = width;
    out.height = height;
    for (uint32_t y = 0; y < height; ++y) {
        const double sy = std::clamp(y0 + (y + 0.5) * cropH / height - 0.5, 0.0, h - 1.0);
        const auto ya = static_cast<uint32_t>(sy);
        const uint32_t yb = std::min(ya + 1, h - 1);
        const double fy = sy - ya;
        for (uint32_t x = 0; x < width; ++x) {
            const double sx = std::clamp(x0 + (x + 0.5) * cropW / width - 0.5, 0.0, w - 1.0);
            const auto xa = static_cast<uint32_t>(sx);
            const uint32_t xb = std::min(xa + 1, w - 1);
            const double fx = sx - xa;
            for (int c = 0; c < 3; ++c) {
                auto at = [&](uint32_t px, uint32_t py) {
                    return double(src[(size_t{py} * w + px) * 3 + c]);
                };
                const double v = (at(xa, ya) * (1 - fx) + at(xb, ya) * fx) * (1 - fy) +
                                 (at(xa, yb) * (1 - fx) + at(xb, yb) * fx) * fy;
                out.rgb[(size_t{y} * width + x) * 3 + c] = static_cast<uint8_t>(v + 0.5);
            }
        }
    }
    GlobalUnlock(block);
    GlobalFree(block);
    return out;
}

const Photo& Large() {
    static const Photo p = Prepare(std::getenv("OMBREL_BENCH_PHOTO_LARGE"), 6000, 4000);
    return p;
}
const Photo& Hd() {
    static const Photo p = Prepare(std::getenv("OMBREL_BENCH_PHOTO_HD"), 1920, 1080);
    return p;
}
const Photo& Pick(int which) {
    return which == 0 ? Large() : Hd();
}

long StatusKiB(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
    }
    return -1;
}

// Peak resident memory of one call above what was resident before it, in
// bytes; -1 where the kernel cannot reset the peak.
template <class Write>
double ExtraPeak(Write write) {
    malloc_trim(0);  // freed memory kept by malloc would hide the write's own
    {
        std::ofstream reset("/proc/self/clear_refs");
        reset << "5";
        if (!reset) return -1;
    }
    const long before = StatusKiB("VmRSS:");
    write();
    return (StatusKiB("VmHWM:") - before) * 1024.0;
}

// args: photo (0 large, 1 HD), writer (-1 libpng, else threads; 0 = all).
void BM_Write(benchmark::State& state) {
    const Photo& photo = Pick(static_cast<int>(state.range(0)));
    if (photo.rgb.empty()) return state.SkipWithError("no photograph; run scripts/bench_png.sh");
    const auto writer = static_cast<int>(state.range(1));
    const std::string path = BenchTempPath("write.png");
    auto once = [&] {
        if (writer < 0)
            return LibpngDefaultWrite(path.c_str(), photo.rgb.data(), photo.width, photo.height);
        PixSetPNGWriteThreads(static_cast<unsigned>(writer));
        return PixWritePNG(path.c_str(), photo.rgb.data(), photo.width, photo.height, 0.0) != 0;
    };
    // First, while the process's memory holds nothing of an earlier write.
    state.counters["extra_memory"] = ExtraPeak(once) / static_cast<double>(photo.rgb.size());
    for (auto _ : state) {
        if (!once()) state.SkipWithError("write failed");
    }
    state.counters["bytes"] = static_cast<double>(std::filesystem::file_size(path));
    std::filesystem::remove(path);
}
BENCHMARK(BM_Write)
    ->ArgNames({"photo", "threads"})
    ->ArgsProduct({{0, 1}, {-1, 1, 2, 0}})
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// A base image, data and passphrase for the program runs, made once.
struct RunInputs {
    std::string base, data, passphrase;
};
const RunInputs& Inputs(int which) {
    static std::map<int, RunInputs> made;
    RunInputs& in = made[which];
    if (!in.base.empty()) return in;
    const Photo& photo = Pick(which);
    const std::string tag = std::to_string(which);
    in.base = BenchTempPath("base" + tag + ".bmp");
    PixWriteBMP(in.base.c_str(), photo.rgb.data(), photo.width, photo.height);
    // A tenth of what 777 carries: a typical document, not a full picture.
    in.data = BenchTempPath("data" + tag + ".bin");
    std::vector<char> bytes(size_t{photo.width} * photo.height * 3 / 8 / 10);
    uint32_t seed = 7;
    for (char& b : bytes) b = static_cast<char>((seed = seed * 1103515245u + 12345u) >> 24);
    std::ofstream(in.data, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
    in.passphrase = BenchTempPath("pass" + tag);
    std::ofstream(in.passphrase) << "correct horse battery staple\n";
    return in;
}

// Runs a program; its wall seconds, and its CPU seconds in *cpu.
double RunProgram(const std::vector<std::string>& args, double* cpu) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
    *cpu = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    return wall.count();
}

// args: photo, method (0 777, 1 sealed), program (0 previous, 1 this one).
void BM_CliEncode(benchmark::State& state) {
    const int which = static_cast<int>(state.range(0));
    if (Pick(which).rgb.empty()) return state.SkipWithError("no photograph");
    const char* old = std::getenv("OMBREL_BENCH_OLD_CLI");
    const std::string program = state.range(2) == 0 ? (old != nullptr ? old : "") : OMBREL_CLI;
    if (program.empty()) return state.SkipWithError("OMBREL_BENCH_OLD_CLI not set");
    const RunInputs& in = Inputs(which);
    const std::string out = BenchTempPath("out.png");
    std::vector<std::string> args = {program, "encode", "-m"};
    if (state.range(1) == 0) {
        args.insert(args.end(), {"777"});
    } else {
        args.insert(args.end(), {"sealed", "--passphrase-file", in.passphrase});
    }
    args.insert(args.end(), {in.base, in.data, out});
    double cpu = 0;
    for (auto _ : state) {
        std::filesystem::remove(out);
        const double wall = RunProgram(args, &cpu);
        if (wall < 0) return state.SkipWithError("encode failed");
        state.SetIterationTime(wall);
    }
    state.counters["cpu_s"] = cpu;
    state.counters["bytes"] = static_cast<double>(std::filesystem::file_size(out));
    std::filesystem::remove(out);
}
BENCHMARK(BM_CliEncode)
    ->ArgNames({"photo", "sealed", "new"})
    ->ArgsProduct({{0, 1}, {0, 1}, {0, 1}})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
