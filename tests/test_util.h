// SPDX-License-Identifier: GPL-3.0-or-later
// Helpers shared by the test programs.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "imagelib/state.h"

using Bytes = std::vector<uint8_t>;

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string File(const std::string& name) const { return (path_ / name).string(); }

  private:
    std::filesystem::path path_;
};

Bytes ReadFileBytes(const std::string& path);
// `size` bytes of a fixed pseudo-random sequence.
Bytes RandomBytes(size_t size, uint32_t seed);
void WriteFileBytes(const std::string& path, const Bytes& bytes);

// Copies a library block's bytes out and frees the block.
Bytes TakeBlock(HGLOBAL block);

// A binary P6 file with maxval 255: width, height and the RGB bytes.
struct Picture {
    uint32_t width = 0;
    uint32_t height = 0;
    Bytes rgb;
};
bool ReadPpm(const std::string& path, Picture* picture);

// The conformance corpus under tests/corpus.
std::string CorpusDir();

struct CorpusRow {
    std::string path;       // relative to CorpusDir()
    std::string format;     // bmp, pcx, png, tiff, jpeg
    std::string expect;     // ok, fail, either
    std::string reference;  // .ref.ppm, relative; may be empty
    std::string notes;
};
// The manifest's rows of one format, in file order.
std::vector<CorpusRow> CorpusRows(const std::string& format);
// A gtest-safe test name for a row.
std::string CorpusTestName(const CorpusRow& row);
// A row shows as its file in failure messages.
void PrintTo(const CorpusRow& row, std::ostream* out);

// Whether a decoded RGB picture equals the row's .ref.ppm exactly.
::testing::AssertionResult MatchesReference(const CorpusRow& row, uint32_t width, uint32_t height,
                                            const Bytes& rgb);


// Deterministic "photo-like" picture: smooth gradients with some texture.
Bytes MakePhoto(uint32_t width, uint32_t height, uint32_t seed = 1);

// A JPEG file's marker segments in order, stepping over segment bodies and
// entropy-coded data (where 0xFF is followed by 0 or a restart marker).
struct Segment {
    uint8_t marker;
    size_t offset;  // of the 0xFF that starts the marker
};
std::vector<Segment> Markers(const Bytes& f);

// The segments a lossless rewrite of a JPEG's coefficients keeps byte for
// byte: APPn, COM, frame header and restart interval (quantization tables
// keep their values, though a file may group them differently; Huffman
// tables and scans are coded anew).
std::vector<Bytes> KeptJpegSegments(const Bytes& file);
