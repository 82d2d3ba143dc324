// SPDX-License-Identifier: GPL-3.0-or-later
// The body shared by the reader fuzz targets: the input is written to a file
// of the format and goes through the size query and every reader.
#pragma once

#include <cstddef>
#include <cstdint>

#include "imagelib/state.h"

struct ReaderFormat {
    const char* extension;
    BOOL (*size)(const char* path, uint32_t* width, uint32_t* height);
    HGLOBAL (*read)(const char* path, uint32_t* width, uint32_t* height);
    HGLOBAL (*read8)(const char* path, uint32_t* width, uint32_t* height, RGBQUAD* palette);
    void (*sideResults)();  // fetches and frees what a read leaves in the thread record
    // The top-rows readers, where the format has them.
    HGLOBAL (*readRows)(const char* path, uint32_t* width, uint32_t* height, uint32_t rows,
                        uint32_t* taken) = nullptr;
    HGLOBAL (*read8Rows)(const char* path, uint32_t* width, uint32_t* height, RGBQUAD* palette,
                         uint32_t rows, uint32_t* taken) = nullptr;
};

// Inputs whose header claims more pixels than this are decoded with blocks
// of kFuzzBigClaimBlockBytes at most: the readers accept up to 2^30 pixels,
// which would spend the fuzzer's time in allocation and zeroing, yet their
// header and limit checks, and top-rows reads, must hold for such claims.
constexpr uint64_t kFuzzMaxPixels = uint64_t{1} << 20;
constexpr size_t kFuzzBigClaimBlockBytes = size_t{4} << 20;

// Aborts when a reader breaks its contract: a buffer handed back with a
// non-zero code, or one smaller than the size it reports.
int FuzzReader(const ReaderFormat& format, const uint8_t* data, size_t size);
