// SPDX-License-Identifier: GPL-3.0-or-later
// Helpers shared by the codecs: checked size arithmetic, owners for files
// and memory blocks, little-endian field access.
#pragma once

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "imagelib/state.h"

// False when a * b does not fit in size_t; *out is then left alone.
inline bool MulSize(size_t a, size_t b, size_t* out) {
    if (b != 0 && a > SIZE_MAX / b) return false;
    *out = a * b;
    return true;
}

// width x height pixels of `bytesPerPixel` bytes, when the image is within
// kPixMaxPixels; false otherwise (the caller reports kPixErrMemory).
inline bool ImageBytes(uint64_t width, uint64_t height, size_t bytesPerPixel, size_t* out) {
    if (width != 0 && height > kPixMaxPixels / width) return false;
    return MulSize(static_cast<size_t>(width * height), bytesPerPixel, out);
}

// Working memory one read may take besides its pixel block: libjpeg's
// coefficients, libtiff's strip and tile buffers, libpng's rows. Every read
// gets kPixWorkFloor; a file earns more with its size, at zlib's best ratio
// (one stored byte inflates to at most 1032), so a real photograph of any
// size up to the pixel limit reads, and a small file claiming a huge picture
// is refused (kPixErrMemory) before anything is allocated.
#ifndef OMBREL_WORK_FLOOR_BYTES
#define OMBREL_WORK_FLOOR_BYTES (uint64_t{256} << 20)
#endif
constexpr uint64_t kPixWorkFloor = OMBREL_WORK_FLOOR_BYTES;
constexpr uint64_t kPixWorkPerFileByte = 1024;

inline uint64_t WorkCap(uint64_t fileBytes) {
    const uint64_t earned =
        fileBytes > UINT64_MAX / kPixWorkPerFileByte ? UINT64_MAX : fileBytes * kPixWorkPerFileByte;
    return std::max(kPixWorkFloor, earned);
}

// Size of an open file, 0 when it cannot be told (a pipe, say).
inline uint64_t FileBytes(std::FILE* file) {
    struct stat info {};
    if (fstat(fileno(file), &info) != 0 || info.st_size < 0) return 0;
    return static_cast<uint64_t>(info.st_size);
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

inline FilePtr OpenFile(const char* path, const char* mode) {
    return FilePtr(path == nullptr ? nullptr : std::fopen(path, mode));
}

// Owns a global memory block until release() hands it to the caller; locks
// it for as long as the owner lives.
class GlobalBlock {
  public:
    GlobalBlock() = default;
    explicit GlobalBlock(size_t bytes)
        : handle_(GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, bytes)) {
        if (handle_ != nullptr) data_ = static_cast<uint8_t*>(GlobalLock(handle_));
    }
    GlobalBlock(const GlobalBlock&) = delete;
    GlobalBlock& operator=(const GlobalBlock&) = delete;
    ~GlobalBlock() {
        if (handle_ == nullptr) return;
        if (data_ != nullptr) GlobalUnlock(handle_);
        GlobalFree(handle_);
    }

    explicit operator bool() const { return data_ != nullptr; }
    uint8_t* data() const { return data_; }

    // Unlocks the block and gives it up to the caller.
    HGLOBAL release() {
        if (data_ != nullptr) GlobalUnlock(handle_);
        HGLOBAL handle = handle_;
        handle_ = nullptr;
        data_ = nullptr;
        return handle;
    }

  private:
    HGLOBAL handle_ = nullptr;
    uint8_t* data_ = nullptr;
};

inline uint16_t GetLE16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
inline uint32_t GetLE32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}
inline void PutLE16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void PutLE32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
