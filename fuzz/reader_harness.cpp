// SPDX-License-Identifier: GPL-3.0-or-later
#include "fuzz/reader_harness.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// One file per process, so parallel fuzzing jobs never share it.
const std::string& TempPath(const char* extension) {
    static const std::string path = [extension] {
        const char* dir = std::getenv("TMPDIR");
        return std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/ombrel-fuzz-" +
               std::to_string(getpid()) + "." + extension;
    }();
    return path;
}

[[noreturn]] void Fail(const char* what, const char* extension) {
    std::fprintf(stderr, "%s reader: %s\n", extension, what);
    std::abort();
}

void CheckResult(HGLOBAL block, uint32_t width, uint32_t height, size_t bytesPerPixel,
                 const char* extension) {
    if (block == nullptr) return;
    if (PixGetLastError() != 0) Fail("returned a buffer with a non-zero code", extension);
    if (GlobalSize(block) / bytesPerPixel < uint64_t{width} * height)
        Fail("returned a buffer smaller than width x height", extension);
    GlobalFree(block);
}

// A top-rows read holds at least the rows asked for (or the whole picture),
// never more rows than the picture has.
void CheckRows(HGLOBAL block, uint32_t width, uint32_t height, uint32_t rows, uint32_t taken,
               size_t bytesPerPixel, const char* extension) {
    if (block == nullptr) return;
    if (taken > height || taken < std::min(rows, height))
        Fail("returned a row count outside what was asked", extension);
    if (GlobalSize(block) / bytesPerPixel < uint64_t{width} * taken)
        Fail("returned a buffer smaller than width x rows", extension);
    CheckResult(block, width, taken, bytesPerPixel, extension);
}

void RunReaders(const ReaderFormat& format, const std::string& path, const uint8_t* data,
                size_t size) {
    uint32_t width = 0, height = 0;
    HGLOBAL block = format.read(path.c_str(), &width, &height);
    CheckResult(block, width, height, 3, format.extension);
    if (format.sideResults != nullptr) format.sideResults();
    if (format.read8 != nullptr) {
        RGBQUAD palette[kPixPaletteEntries] = {};
        width = height = 0;
        block = format.read8(path.c_str(), &width, &height, palette);
        CheckResult(block, width, height, 1, format.extension);
    }
    // The row count comes from the input, so the fuzzer steers it too.
    const uint32_t rows = 1 + (size > 0 ? data[size - 1] % 16 : 0);
    uint32_t taken = 0;
    if (format.readRows != nullptr) {
        width = height = 0;
        block = format.readRows(path.c_str(), &width, &height, rows, &taken);
        CheckRows(block, width, height, rows, taken, 3, format.extension);
    }
    if (format.read8Rows != nullptr) {
        RGBQUAD palette[kPixPaletteEntries] = {};
        width = height = taken = 0;
        block = format.read8Rows(path.c_str(), &width, &height, palette, rows, &taken);
        CheckRows(block, width, height, rows, taken, 1, format.extension);
    }
}

}  // namespace

int FuzzReader(const ReaderFormat& format, const uint8_t* data, size_t size) {
    const std::string& path = TempPath(format.extension);
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr || std::fwrite(data, 1, size, file) != size || std::fclose(file) != 0)
        Fail("cannot write the input file", format.extension);

    uint32_t width = 0, height = 0;
    // A header the size query refuses still goes to the readers, which must
    // refuse it as cheaply.
    const bool bigClaim =
        format.size(path.c_str(), &width, &height) && uint64_t{width} * height > kFuzzMaxPixels;
    if (bigClaim) SetGlobalAllocLimit(kFuzzBigClaimBlockBytes);
    RunReaders(format, path, data, size);
    if (bigClaim) SetGlobalAllocLimit(SIZE_MAX);
    std::remove(path.c_str());
    return 0;
}
