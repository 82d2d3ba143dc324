// What the benchmarks share: the test picture and scratch file names.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "imagelib/state.h"

constexpr uint32_t kBenchWidth = 6000;
constexpr uint32_t kBenchHeight = 4000;

// A kBenchWidth x kBenchHeight RGB picture that compresses like a photograph:
// smooth shading, soft shapes with edges, and per-pixel grain. Made once.
const std::vector<uint8_t>& BenchPhoto();

// BenchPhoto as one index a pixel into a 3-3-2 colour cube, for the 8-bit
// readers and writers. Made once.
struct BenchIndexed {
    std::vector<uint8_t> indices;
    std::array<RGBQUAD, 256> palette;
};
const BenchIndexed& BenchPhotoIndexed();

// A path in the temporary directory, unique to this process. Whatever is at
// the path when the program exits is removed then.
std::string BenchTempPath(const std::string& name);
