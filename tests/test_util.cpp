// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/test_util.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <algorithm>
#include <random>
#include <sstream>

namespace fs = std::filesystem;

TempDir::TempDir() {
    std::random_device random;
    for (;;) {
        path_ = fs::temp_directory_path() / ("ombrel-test-" + std::to_string(random()));
        if (fs::create_directory(path_)) break;
    }
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

Bytes RandomBytes(size_t size, uint32_t seed) {
    std::mt19937 random(seed);
    Bytes bytes(size);
    for (auto& b : bytes) b = static_cast<uint8_t>(random());
    return bytes;
}

Bytes ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

Bytes TakeBlock(HGLOBAL block) {
    Bytes bytes;
    if (block == nullptr) return bytes;
    const auto* data = static_cast<const uint8_t*>(GlobalLock(block));
    bytes.assign(data, data + GlobalSize(block));
    GlobalUnlock(block);
    GlobalFree(block);
    return bytes;
}

bool ReadPpm(const std::string& path, Picture* picture) {
    const Bytes data = ReadFileBytes(path);
    size_t pos = 0;
    std::vector<std::string> fields;
    while (fields.size() < 4 && pos < data.size()) {
        while (pos < data.size() && std::isspace(data[pos])) ++pos;
        if (pos < data.size() && data[pos] == '#') {
            while (pos < data.size() && data[pos] != '\n') ++pos;
            continue;
        }
        size_t end = pos;
        while (end < data.size() && !std::isspace(data[end])) ++end;
        fields.emplace_back(data.begin() + static_cast<long>(pos),
                            data.begin() + static_cast<long>(end));
        pos = end;
    }
    if (fields.size() != 4 || fields[0] != "P6" || fields[3] != "255") return false;
    picture->width = static_cast<uint32_t>(std::stoul(fields[1]));
    picture->height = static_cast<uint32_t>(std::stoul(fields[2]));
    const size_t size = size_t{picture->width} * picture->height * 3;
    ++pos;  // the single white space after maxval
    if (data.size() < pos + size) return false;
    picture->rgb.assign(data.begin() + static_cast<long>(pos),
                        data.begin() + static_cast<long>(pos + size));
    return true;
}

std::string CorpusDir() {
    return OMBREL_CORPUS_DIR;
}


std::vector<CorpusRow> CorpusRows(const std::string& format) {
    std::vector<CorpusRow> rows;
    std::ifstream in(fs::path(CorpusDir()) / "MANIFEST.tsv");
    std::string line;
    std::getline(in, line);  // column names
    while (std::getline(in, line)) {
        std::vector<std::string> cells;
        std::stringstream stream(line);
        std::string cell;
        while (std::getline(stream, cell, '\t')) cells.push_back(cell);
        cells.resize(5);
        if (cells[1] != format) continue;
        rows.push_back({cells[0], cells[1], cells[2], cells[3], cells[4]});
    }
    return rows;
}

std::string CorpusTestName(const CorpusRow& row) {
    std::string name;
    for (char c : row.path) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name;
}

void PrintTo(const CorpusRow& row, std::ostream* out) {
    *out << row.path;
}

::testing::AssertionResult MatchesReference(const CorpusRow& row, uint32_t width, uint32_t height,
                                            const Bytes& rgb) {
    Picture ref;
    if (!ReadPpm(CorpusDir() + "/" + row.reference, &ref))
        return ::testing::AssertionFailure() << "cannot read " << row.reference;
    if (width != ref.width || height != ref.height)
        return ::testing::AssertionFailure() << width << "x" << height << " where " << row.reference
                                             << " is " << ref.width << "x" << ref.height;
    if (rgb != ref.rgb)
        return ::testing::AssertionFailure() << "pixels differ from " << row.reference;
    return ::testing::AssertionSuccess();
}

Bytes MakePhoto(uint32_t width, uint32_t height, uint32_t seed) {
    Bytes rgb(size_t{width} * height * 3);
    std::mt19937 random(seed);
    size_t i = 0;
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            const uint32_t noise = random() & 15;
            rgb[i++] = static_cast<uint8_t>((x * 255 / (width ? width : 1) + noise) & 255);
            rgb[i++] = static_cast<uint8_t>((y * 255 / (height ? height : 1) + noise) & 255);
            rgb[i++] = static_cast<uint8_t>(((x + y) * 128 / (width + height) + 64 + noise) & 255);
        }
    }
    return rgb;
}

std::vector<Segment> Markers(const Bytes& f) {
    std::vector<Segment> out;
    size_t i = 2;
    while (i + 2 <= f.size() && f[i] == 0xFF) {
        const uint8_t m = f[i + 1];
        out.push_back({m, i});
        if (m == 0xD9 || i + 4 > f.size()) break;
        i += 2 + (size_t{f[i + 2]} << 8 | f[i + 3]);
        if (m != 0xDA) continue;
        while (i + 1 < f.size() && !(f[i] == 0xFF && f[i + 1] != 0 && (f[i + 1] & 0xF8) != 0xD0)) {
            ++i;
        }
    }
    return out;
}

std::vector<Bytes> KeptJpegSegments(const Bytes& file) {
    std::vector<Bytes> out;
    for (const Segment& s : Markers(file)) {
        const uint8_t m = s.marker;
        const bool frame = m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC;
        if (!(frame || (m >= 0xE0 && m <= 0xEF) || m == 0xFE || m == 0xDD)) continue;
        const size_t length = size_t{file[s.offset + 2]} << 8 | file[s.offset + 3];
        out.emplace_back(file.begin() + s.offset,
                         file.begin() + std::min(file.size(), s.offset + 2 + length));
    }
    return out;
}
