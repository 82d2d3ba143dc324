// SPDX-License-Identifier: GPL-3.0-or-later
#include "bench/bench_util.h"

#include <png.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <set>

const std::vector<uint8_t>& BenchPhoto() {
    static const std::vector<uint8_t> rgb = [] {
        std::vector<uint8_t> out(size_t{kBenchWidth} * kBenchHeight * 3);
        uint32_t seed = 12345;
        size_t i = 0;
        for (uint32_t y = 0; y < kBenchHeight; ++y) {
            for (uint32_t x = 0; x < kBenchWidth; ++x) {
                seed = seed * 1664525u + 1013904223u;
                const int grain = static_cast<int>(seed >> 28) - 8;
                const double fx = double(x) / kBenchWidth, fy = double(y) / kBenchHeight;
                const double wave = 40 * std::sin(fx * 9.0 + fy * 4.0) * std::cos(fy * 7.0);
                const bool shape = (x / 700 + y / 500) % 3 == 0;
                const int r = int(200 * fx + 30 + wave) + (shape ? 30 : 0) + grain;
                const int g = int(180 * fy + 40 - wave) + grain;
                const int b = int(120 * (1 - fx * fy) + 60 + wave / 2) + (shape ? 0 : 20) + grain;
                out[i++] = static_cast<uint8_t>(std::clamp(r, 0, 255));
                out[i++] = static_cast<uint8_t>(std::clamp(g, 0, 255));
                out[i++] = static_cast<uint8_t>(std::clamp(b, 0, 255));
            }
        }
        return out;
    }();
    return rgb;
}

const BenchIndexed& BenchPhotoIndexed() {
    static const BenchIndexed indexed = [] {
        const std::vector<uint8_t>& rgb = BenchPhoto();
        BenchIndexed out;
        out.indices.resize(size_t{kBenchWidth} * kBenchHeight);
        for (size_t i = 0; i < out.indices.size(); ++i) {  // red 3 bits, green 3, blue 2
            out.indices[i] = static_cast<uint8_t>((rgb[3 * i] & 0xE0) | (rgb[3 * i + 1] >> 5 << 2) |
                                                  rgb[3 * i + 2] >> 6);
        }
        for (int i = 0; i < 256; ++i) {
            out.palette[i] = {static_cast<uint8_t>((i & 3) * 85),
                              static_cast<uint8_t>((i >> 2 & 7) * 36),
                              static_cast<uint8_t>((i >> 5) * 36), 0};
        }
        return out;
    }();
    return indexed;
}

namespace {

// The scratch paths handed out; the benchmark files are tens of megabytes,
// so none may outlive the run.
class ScratchFiles {
  public:
    void Add(const std::string& path) {
        std::lock_guard<std::mutex> hold(lock_);
        paths_.insert(path);
    }
    ~ScratchFiles() {
        std::error_code ignored;
        // A scratch folder goes with whatever a run left in it.
        for (const std::string& path : paths_) std::filesystem::remove_all(path, ignored);
    }

  private:
    std::mutex lock_;
    std::set<std::string> paths_;
};

}  // namespace

std::string BenchTempPath(const std::string& name) {
    static ScratchFiles scratch;
    const std::string path = (std::filesystem::temp_directory_path() /
                              ("ombrel-bench-" + std::to_string(::getpid()) + "-" + name))
                                 .string();
    scratch.Add(path);
    return path;
}

void BenchDialog::ShowMessage(const std::string& text) {
    std::fprintf(stderr, "%s\n", text.c_str());
}

namespace {

[[noreturn]] void LongjmpOnError(png_structp png, png_const_charp) {
    png_longjmp(png, 1);
}
void DropWarning(png_structp, png_const_charp) {}

}  // namespace

bool LibpngDefaultWrite(const char* path, const uint8_t* rgb, uint32_t width, uint32_t height) {
    std::FILE* file = std::fopen(path, "wb");
    if (file == nullptr) return false;
    png_structp png =
        png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, LongjmpOnError, DropWarning);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        std::fclose(file);
        return false;
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (uint32_t y = 0; y < height; ++y) png_write_row(png, rgb + size_t{y} * width * 3);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return std::fclose(file) == 0;
}
