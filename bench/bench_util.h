// SPDX-License-Identifier: GPL-3.0-or-later
// What the benchmarks share: the test picture and scratch file names.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "hiding/dialog_port.h"
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

// libpng's own row writer with its defaults, for an 8-bit RGB picture: the
// reference the program's PNG writer is measured against. False on failure.
bool LibpngDefaultWrite(const char* path, const uint8_t* rgb, uint32_t width, uint32_t height);

// A path in the temporary directory, unique to this process. Whatever is at
// the path when the program exits is removed then.
std::string BenchTempPath(const std::string& name);

// The runs' dialog in a benchmark: its paths, messages to stderr, Yes to
// every question.
class BenchDialog : public QuietDialog {
  public:
    std::string base, data, output, directory;
    std::string BaseImagePath() override { return base; }
    std::string DataFilePath() override { return data; }
    std::string OutputImagePath() override { return output; }
    void ShowMessage(const std::string& text) override;
    bool AskYesNo(const std::string&) override { return true; }
    std::string OutputDirectory() override { return directory; }
};
