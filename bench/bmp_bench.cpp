// BMP read and write throughput on a 6000 x 4000 picture, against plain
// fread and fwrite of a file of the same size, all through the page cache.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "imagelib/bmp.h"

namespace {

namespace fs = std::filesystem;

constexpr uint32_t kWidth = 6000;
constexpr uint32_t kHeight = 4000;

// The input files, written once and removed at exit.
class Files {
  public:
    Files() : dir_(fs::temp_directory_path() / ("ombrel-bmp-bench-" + std::to_string(getpid()))) {
        fs::create_directories(dir_);
        rgb_.resize(size_t{kWidth} * kHeight * 3);
        indices_.resize(size_t{kWidth} * kHeight);
        for (uint32_t y = 0; y < kHeight; ++y) {
            for (uint32_t x = 0; x < kWidth; ++x) {
                const size_t i = size_t{y} * kWidth + x;
                rgb_[3 * i] = static_cast<uint8_t>(x);
                rgb_[3 * i + 1] = static_cast<uint8_t>(y);
                rgb_[3 * i + 2] = static_cast<uint8_t>(x ^ y);
                indices_[i] = static_cast<uint8_t>(x * 7 + y);
            }
        }
        for (int i = 0; i < 256; ++i)
            palette_[i] = {uint8_t(i), uint8_t(i / 2), uint8_t(255 - i), 0};
        if (!PixWriteBMP(Rgb().c_str(), rgb_.data(), kWidth, kHeight) ||
            !PixWriteBMP8(Indexed().c_str(), indices_.data(), kWidth, kHeight, 8, 256,
                          palette_.data())) {
            std::fprintf(stderr, "cannot write the benchmark files in %s\n", dir_.c_str());
            std::exit(1);
        }
    }
    ~Files() {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    std::string Rgb() const { return (dir_ / "rgb24.bmp").string(); }
    std::string Indexed() const { return (dir_ / "pal8.bmp").string(); }
    std::string Out(const char* name) const { return (dir_ / name).string(); }
    const std::vector<uint8_t>& rgb() const { return rgb_; }
    const std::vector<uint8_t>& indices() const { return indices_; }
    const RGBQUAD* palette() const { return palette_.data(); }

  private:
    fs::path dir_;
    std::vector<uint8_t> rgb_;
    std::vector<uint8_t> indices_;
    std::array<RGBQUAD, 256> palette_{};
};

const Files& TheFiles() {
    static const Files files;
    return files;
}

int64_t FileBytes(const std::string& path) {
    return static_cast<int64_t>(fs::file_size(path));
}

void BM_ReadBmp24(benchmark::State& state) {
    const std::string path = TheFiles().Rgb();
    for (auto _ : state) {
        uint32_t w = 0, h = 0;
        HGLOBAL image = PixReadBMP(path.c_str(), &w, &h);
        if (image == nullptr) state.SkipWithError("read failed");
        GlobalFree(image);
    }
    state.SetBytesProcessed(state.iterations() * FileBytes(path));
}

void BM_ReadBmp8(benchmark::State& state) {
    const std::string path = TheFiles().Indexed();
    std::array<RGBQUAD, 256> palette{};
    for (auto _ : state) {
        uint32_t w = 0, h = 0;
        HGLOBAL image = PixReadBMP8(path.c_str(), &w, &h, palette.data());
        if (image == nullptr) state.SkipWithError("read failed");
        GlobalFree(image);
    }
    state.SetBytesProcessed(state.iterations() * FileBytes(path));
}

void BM_WriteBmp24(benchmark::State& state) {
    const Files& files = TheFiles();
    const std::string out = files.Out("out24.bmp");
    for (auto _ : state) {
        if (!PixWriteBMP(out.c_str(), files.rgb().data(), kWidth, kHeight))
            state.SkipWithError("write failed");
    }
    state.SetBytesProcessed(state.iterations() * FileBytes(out));
}

void BM_WriteBmp8(benchmark::State& state) {
    const Files& files = TheFiles();
    const std::string out = files.Out("out8.bmp");
    for (auto _ : state) {
        if (!PixWriteBMP8(out.c_str(), files.indices().data(), kWidth, kHeight, 8, 256,
                          files.palette())) {
            state.SkipWithError("write failed");
        }
    }
    state.SetBytesProcessed(state.iterations() * FileBytes(out));
}

// The references: the whole file in one fread into a buffer made once, and one
// fwrite of a buffer of the same size. Argument 24 or 8 picks the file.
std::string ReferenceFile(const benchmark::State& state) {
    return state.range(0) == 24 ? TheFiles().Rgb() : TheFiles().Indexed();
}

void BM_PlainFread(benchmark::State& state) {
    const std::string path = ReferenceFile(state);
    std::vector<uint8_t> buffer(static_cast<size_t>(FileBytes(path)));
    for (auto _ : state) {
        std::FILE* f = std::fopen(path.c_str(), "rb");
        if (f == nullptr || std::fread(buffer.data(), 1, buffer.size(), f) != buffer.size()) {
            state.SkipWithError("fread failed");
        }
        if (f != nullptr) std::fclose(f);
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(buffer.size()));
}

// Not a reference, a breakdown: the same fread into a fresh block from
// GlobalAlloc, as a reader must return, which pays for faulting in new pages.
void BM_PlainFreadFreshBlock(benchmark::State& state) {
    const std::string path = ReferenceFile(state);
    const size_t bytes = static_cast<size_t>(FileBytes(path));
    for (auto _ : state) {
        HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, bytes);
        void* data = GlobalLock(block);
        std::FILE* f = std::fopen(path.c_str(), "rb");
        if (data == nullptr || f == nullptr || std::fread(data, 1, bytes, f) != bytes) {
            state.SkipWithError("fread failed");
        }
        if (f != nullptr) std::fclose(f);
        GlobalUnlock(block);
        GlobalFree(block);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes));
}

void BM_PlainFwrite(benchmark::State& state) {
    const std::string path = ReferenceFile(state);
    const std::vector<uint8_t> buffer(static_cast<size_t>(FileBytes(path)), 0x5A);
    const std::string out = TheFiles().Out("plain.bin");
    for (auto _ : state) {
        std::FILE* f = std::fopen(out.c_str(), "wb");
        if (f == nullptr || std::fwrite(buffer.data(), 1, buffer.size(), f) != buffer.size()) {
            state.SkipWithError("fwrite failed");
        }
        if (f != nullptr) std::fclose(f);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(buffer.size()));
}

// Wall-clock time: file I/O may wait as well as compute.
BENCHMARK(BM_ReadBmp24)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PlainFread)->Arg(24)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PlainFreadFreshBlock)->Arg(24)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_WriteBmp24)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PlainFwrite)->Arg(24)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReadBmp8)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PlainFread)->Arg(8)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PlainFreadFreshBlock)->Arg(8)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_WriteBmp8)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PlainFwrite)->Arg(8)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
