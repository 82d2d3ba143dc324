// SPDX-License-Identifier: GPL-3.0-or-later
// A carrier as the probes and the decode read it: only the top rows of the
// image that hold the carrier bytes a step needs (24-bit colour bytes or
// 8-bit indices, in pixel order), read again further down only when a later
// step needs more.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "hiding/payload.h"
#include "imagelib/state.h"

// Whether two stat results describe the same, unchanged file.
bool SameFileState(const struct stat& now, const struct stat& then);

// Carrier bytes that hold the first `payloadBytes` bytes of a payload.
uint64_t CarrierBytesFor(HidingMethod method, uint64_t payloadBytes);

class Carrier {
  public:
    // No read happens before Reach. Every read takes at least `readAhead`
    // bytes, so steps that need fewer share it.
    Carrier(std::string path, bool indexed, uint64_t readAhead = 0);
    ~Carrier();
    Carrier(const Carrier&) = delete;
    Carrier& operator=(const Carrier&) = delete;

    // Returned by Reach when the pixels were read but cannot be locked.
    static constexpr int kLockFailed = -1;

    // Holds and locks at least the first `bytes` carrier bytes, or all of
    // them when the carrier is shorter. 0, kLockFailed, or the code of the
    // failed read: for 24 bits as CWorkingImage::Load gives it, for 8 bits
    // the library's last error, 60 when it has none. A failure is kept and
    // given again.
    int Reach(uint64_t bytes);

    // Whether the file at the path is still the one that was read.
    bool StillMatches(const std::string& path) const;
    // Whether the file changed during a read, or between two reads: what is
    // held may then mix two files.
    bool Changed() const { return changed_; }

    bool indexed() const { return indexed_; }
    const uint8_t* bytes() const { return bytes_; }
    size_t held() const { return held_; }  // carrier bytes from the start
    uint32_t width() const { return width_; }
    uint32_t height() const { return height_; }

  private:
    int Read(uint64_t bytes);
    void Release();

    std::string path_;
    bool indexed_;
    uint64_t readAhead_;
    int failure_ = 0;
    bool whole_ = false;  // every row is held
    bool changed_ = false;
    struct stat identity_ {};
    HGLOBAL block_ = nullptr;
    uint8_t* bytes_ = nullptr;  // block_, locked
    size_t held_ = 0;
    uint32_t width_ = 0, height_ = 0;
    RGBQUAD palette_[kPixPaletteEntries] = {};
};
