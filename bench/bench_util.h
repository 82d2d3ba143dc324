// What the benchmarks share: the test picture and scratch file names.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

constexpr uint32_t kBenchWidth = 6000;
constexpr uint32_t kBenchHeight = 4000;

// A kBenchWidth x kBenchHeight RGB picture that compresses like a photograph:
// smooth shading, soft shapes with edges, and per-pixel grain. Made once.
const std::vector<uint8_t>& BenchPhoto();

// A path in the temporary directory, unique to this process.
std::string BenchTempPath(const std::string& name);
