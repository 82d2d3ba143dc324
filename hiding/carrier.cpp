// SPDX-License-Identifier: GPL-3.0-or-later
#include "hiding/carrier.h"

#include <algorithm>
#include <utility>

#include "imagelib/pix.h"
#include "working/working_image.h"

uint64_t CarrierBytesFor(HidingMethod method, uint64_t payloadBytes) {
    switch (method) {
        case Method68:
        case Method666:
            return 4 * payloadBytes;
        case Method78:
        case Method777:
            return 8 * payloadBytes;
        case Method886:
            return 12 * payloadBytes;  // the blue bytes of 4 pixels
        case MethodSealed:
            return UINT64_MAX;  // scattered over the whole picture
    }
    return 0;
}

Carrier::Carrier(std::string path, bool indexed, uint64_t readAhead)
    : path_(std::move(path)), indexed_(indexed), readAhead_(readAhead) {}

Carrier::~Carrier() {
    Release();
}

void Carrier::Release() {
    if (block_ == nullptr) return;
    if (bytes_ != nullptr) GlobalUnlock(block_);
    GlobalFree(block_);
    block_ = nullptr;
    bytes_ = nullptr;
    held_ = 0;
    whole_ = false;
}

int Carrier::Reach(uint64_t bytes) {
    if (failure_ != 0) return failure_;
    if (bytes_ != nullptr && (whole_ || held_ >= bytes)) return 0;
    return Read(std::max(bytes, readAhead_));
}

int Carrier::Read(uint64_t bytes) {
    const size_t pixelBytes = indexed_ ? 1 : 3;
    // The rows that hold the bytes, by the width the file states; a row of
    // one pixel holds the fewest, so without a width that many rows suffice.
    uint64_t rowBytes = uint64_t{width_} * pixelBytes;
    uint32_t size[2] = {0, 0};
    if (rowBytes == 0 && GetImageSizeByExtension(path_, size) == 0 && size[0] != 0)
        rowBytes = uint64_t{size[0]} * pixelBytes;
    rowBytes = std::max<uint64_t>(rowBytes, 1);
    const uint64_t rows = std::min<uint64_t>((bytes + rowBytes - 1) / rowBytes, UINT32_MAX);

    Release();
    const struct stat earlier = identity_;
    const bool reread = earlier.st_ino != 0;
    if (::stat(path_.c_str(), &identity_) != 0) identity_ = {};
    if (reread && !SameFileState(identity_, earlier)) changed_ = true;
    if (!indexed_) {
        // As CWorkingImage::Load: an empty path is its own code, and a reader
        // that gives nothing without saying why means "not an image".
        if (path_.empty()) return failure_ = kPixErrOpen;
        PixSetLastError(0);
    }
    uint32_t width = 0, height = 0, taken = 0;
    block_ = ReadRowsByExtension(path_, static_cast<uint32_t>(rows), &width, &height, &taken,
                                 indexed_ ? palette_ : nullptr);
    if (block_ == nullptr) {
        const int code = PixGetLastError();
        return failure_ = code != 0 ? code : kPixErrNotImage;
    }
    bytes_ = static_cast<uint8_t*>(GlobalLock(block_));
    if (bytes_ == nullptr) {
        Release();
        return kLockFailed;
    }
    struct stat after {};
    if (::stat(path_.c_str(), &after) != 0 || !SameFileState(after, identity_)) changed_ = true;
    width_ = width;
    height_ = height;
    held_ = size_t{width} * taken * pixelBytes;
    whole_ = taken >= height;
    return 0;
}

bool SameFileState(const struct stat& now, const struct stat& then) {
    return now.st_dev == then.st_dev && now.st_ino == then.st_ino && now.st_size == then.st_size &&
           now.st_mtim.tv_sec == then.st_mtim.tv_sec &&
           now.st_mtim.tv_nsec == then.st_mtim.tv_nsec &&
           now.st_ctim.tv_sec == then.st_ctim.tv_sec && now.st_ctim.tv_nsec == then.st_ctim.tv_nsec;
}

bool Carrier::StillMatches(const std::string& path) const {
    struct stat now {};
    if (path != path_ || ::stat(path.c_str(), &now) != 0) return false;
    return SameFileState(now, identity_);
}
