// SPDX-License-Identifier: GPL-3.0-or-later
// The sealed method: a file and its name, compressed, encrypted and
// authenticated under a passphrase, carried in the two lowest bits of the
// colour samples by +-1 changes, placed where a change costs least (in
// texture and noise) and scattered by a key.
//
// The samples are every colour sample; in a picture whose every pixel is
// grey, each pixel's grey level instead, changed in all three channels so
// the carrier stays grey (a decoder sees which from the picture). Nothing
// is in clear. What a sealed image carries, in the order it is walked:
//
//   what     samples  how
//   salt     128      the first 128 positions of a public permutation of
//                     the samples, a bit each (any reader can find them;
//                     they are random)
//   header   1024     the first keyed positions: 26 bytes sealed with the
//                     header key, a syndrome-trellis code of their lowest
//                     bits (a change goes where it costs least)
//   content  the rest the keyed positions after: L bytes sealed with the
//                     content key, a ternary code of their two lowest
//                     bits: syndrome-trellis (hiding/stc.h), or polar
//                     in a large picture (hiding/polar.h)
//
// Keyed positions come from a permutation of the samples keyed by the
// position key, skipping the salt's positions. Each byte's bits go least
// significant first. The salt goes +-1 where a bit must change, its
// direction from a stream under the embedding key.
//
// Header, 10 bytes before sealing:
//   0  1  format version, 5 (2 and 4 are read too: the same but for the
//         content's code, see ContentCodeOf in sealed.cpp)
//   1  1  Argon2id passes of the content key's derivation (2..8)
//   2  1  its memory, log2 of MiB (6..10: 64 MiB to 1 GiB)
//   3  1  flags: bit 0 set when the record is zstd-compressed, bit 1 when
//         it is a list of entries (hiding/entries.h) rather than one file
//   4  4  L: content bytes, its 16-byte tag included (LE)
//   8  2  the content bits' share on the second bit plane, in 1/65535ths
//
// Version 1 carried an 8-byte header (bytes 0..7, version 1) sealed in the
// first 192 keyed positions and the content in the positions after it, a
// bit a sample, the rest untouched; it still decodes.
//
// Content before sealing: the record, or its zstd frame when that is
// smaller:
//   0    2  N: name length (LE), 1..259, no terminating zero
//   2    N  the stored name
//   2+N     the data file's bytes
//
// Keys: Argon2id (64 MiB, 2 passes, fixed so the header can always be
// opened) over the passphrase and salt gives a master key; crypto_kdf
// derives the position, header, content and embedding keys from it. When
// the header asks for a stronger derivation, the content key comes from a
// second Argon2id run with those settings instead, so the settings can grow
// without a decoder ever guessing them. Both AEAD messages are
// XChaCha20-Poly1305 with a zero nonce: every key is used once, since every
// image gets a new salt. The content is bound to the header's first 8
// bytes as associated data (the share is known only once it is coded).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "hiding/payload.h"

// A passphrase in locked, guarded memory that is wiped when it goes. Never
// copied; moved only.
class Passphrase {
  public:
    static constexpr size_t kMaxBytes = 1024;

    Passphrase();
    ~Passphrase();
    Passphrase(Passphrase&& other) noexcept;
    Passphrase& operator=(Passphrase&& other) noexcept;
    Passphrase(const Passphrase&) = delete;
    Passphrase& operator=(const Passphrase&) = delete;

    // False when the memory could not be had or the text is too long.
    bool Assign(const char* text, size_t size);
    bool Append(char c);
    void Clear();
    bool Equals(const Passphrase& other) const;  // in constant time for equal sizes

    const char* data() const { return bytes_; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

  private:
    char* bytes_ = nullptr;  // kMaxBytes from sodium_malloc
    size_t size_ = 0;
};

constexpr unsigned kSaltBytes = 16;
constexpr unsigned kSealedPasses = 2;
constexpr unsigned kSealedMemoryLog2MiB = 6;  // 64 MiB

// What an encode may choose; the defaults are what the program writes.
struct SealOptions {
    unsigned passes = kSealedPasses;  // of the content key's derivation
    unsigned memoryLog2MiB = kSealedMemoryLog2MiB;
    const uint8_t* salt = nullptr;  // kSaltBytes to use instead of random ones
    int jpegQuality = 90;           // compressing a base that is not a JPEG to a JPEG output
    // A picture's format: 0 for this version's, or kSealedPictureVersion - 1
    // for peers whose Ombrel reads no newer one.
    uint8_t pictureVersion = 0;
};

extern const char* const kSealedFailedMessage;  // wrong passphrase or changed image
extern const char* const kSealedNewerMessage;
// The coder found no way to carry a file that fits (near the capacity, in
// a picture whose samples mostly sit at an end of their range).
extern const char* const kSealedNoWayMessage;
constexpr int kSealedNoWay = -2;

// A keyed permutation of [0, size), size below 2^32, that stores nothing
// as large as its domain. An index is a pair (high, low) in rows x columns,
// the smallest near-square grid that holds size; eight Feistel rounds each
// add a keyed mix of one half to the other, modulo that half's range. A
// result past size is permuted again (cycle-walking); with less than one
// row of excess that is rare.
class SamplePermutation {
  public:
    SamplePermutation(uint64_t size, const uint64_t (&roundKeys)[8]);
    ~SamplePermutation();  // wipes the keys
    uint64_t operator()(uint64_t index) const { return Walk(index / columns_, index % columns_); }
    // The same for index high * columns() + low, without a division.
    uint64_t Walk(uint64_t high, uint64_t low) const;
    // One pass of the rounds over kLanes cells side by side, for the
    // processor to overlap (a round's multiplies wait long on each other);
    // a result past size() must walk on.
    static constexpr size_t kLanes = 32;
    void Rounds(uint64_t (&high)[kLanes], uint64_t (&low)[kLanes]) const;
    // The kLanes indices from cell (high, low) on, permuted, as positions
    // in `out`; bit j of the result is set where lane j's lies past size()
    // and must walk on (out[j] is then meaningless). Needs columns() of
    // kLanes or more.
    uint32_t Batch(uint64_t high, uint64_t low, uint32_t (&out)[kLanes]) const;
    uint64_t size() const { return size_; }
    uint64_t columns() const { return columns_; }

  private:
    uint64_t size_;
    uint64_t rows_, columns_;
    uint64_t roundKeys_[8];
};

// The positions of the salt in a carrier of `samples` elements: the first
// `count` of the public permutation (kSaltBytes * 8 in a picture).
std::vector<uint64_t> SaltPositions(uint64_t samples, uint64_t count = kSaltBytes * 8);

// The record of `name` and `data`: compressed when that makes it smaller.
struct SealedRecord {
    std::vector<uint8_t> bytes;
    bool compressed = false;
    bool entries = false;  // a list of entries, not one file
};
// False when memory runs out.
bool PackRecord(const std::string& name, const uint8_t* data, size_t size, SealedRecord* record);

// The record of `name` and the `size` bytes that `file` gives next, as
// PackRecord makes it, in no more than `limit` bytes: *fits is false when
// it cannot come within them, found out as soon as the compressed part
// passes the limit, so a large file is neither held nor read whole.
// Returns 0, kPixErrRead on a short read or kPixErrMemory.
int PackRecordFromFile(const std::string& name, std::FILE* file, uint64_t size, uint64_t limit,
                       SealedRecord* record, bool* fits);

// The same for any record: `head`, then `size` bytes that `read` gives in
// pieces (false on a short read).
int PackRecordFrom(const std::vector<uint8_t>& head, uint64_t size,
                   const std::function<bool(uint8_t* into, size_t count)>& read, uint64_t limit,
                   SealedRecord* record, bool* fits);

// What a sealed file is carried in: a sequence of values (a picture's
// samples, a JPEG's coefficients) that change by +-1 and carry in their two
// lowest bits. A carrier only read may be const.
class SealedCarrier {
  public:
    virtual ~SealedCarrier() = default;
    virtual uint64_t size() const = 0;
    // The two lowest bits of element i's value (two's complement), with
    // stc::kNoUp / stc::kNoDown where a change that way is not allowed.
    virtual uint8_t Low(uint64_t i) const = 0;
    // Low() of elements [from, from + count) into out, for a pass over many.
    virtual void Lows(uint64_t from, size_t count, uint8_t* out) const {
        for (size_t i = 0; i < count; ++i) out[i] = Low(from + i);
    }
    virtual void Change(uint64_t i, int delta) = 0;
    // Where element i lies, for the memory to fetch it ahead; may be null.
    virtual const void* Address(uint64_t /*i*/) const { return nullptr; }
    // The cost of changing each element (size() of them, finite, above
    // zero). False when memory runs out.
    virtual bool Costs(float* costs) const = 0;
};

// Format versions: each kind of carrier has its own, and no number serves
// both. A picture's versions 2 and 4 are read still; version 4 has its
// layout and codes a small picture's content with a taller trellis in
// longer blocks, version 5 a large one's in polar blocks. A JPEG's version
// 3 is read still; version 6 codes a large JPEG's content in polar blocks.
constexpr uint8_t kSealedPictureVersion = 5;
constexpr uint8_t kSealedJpegVersion = 6;

// How many elements of a carrier of `size` each part of format `version`
// is coded in. A JPEG's salt and header are coded together in `salt`
// elements, `spread` a bit, as its encoder chose (a decoder tries each);
// its `header` is 0.
struct SealedLayout {
    uint64_t salt, header, content;
};
SealedLayout SealedLayoutOf(uint8_t version, uint64_t size, unsigned spread = 1);

// What a sealed file holds besides its record: salt, header (its tag
// included), and the content's name length and tag.
constexpr uint64_t kSealedHeaderBytes = 26;
constexpr uint64_t kSealedContentExtraBytes = 2 + 16;
constexpr uint64_t kSealedFixedBytes = kSaltBytes + kSealedHeaderBytes + kSealedContentExtraBytes;

// Bytes the image carries for a record of `recordBytes`.
uint64_t SealedBytes(uint64_t recordBytes);

// Bytes these pixels can carry: a third as many in a grey picture, which
// is sealed in its grey levels.
uint64_t SealedRoom(const uint8_t* pixels, uint64_t pixelCount);

// Seals the record into the pixels (width x height RGB) by +-1 changes
// where they cost least. The caller has checked the fit against
// SealedRoom. Returns 0, kPixErrMemory when memory runs out, or
// kSealedNoWay when the code found no way through.
int SealRecord(uint8_t* pixels, uint32_t width, uint32_t height, const Passphrase& passphrase,
               const SealedRecord& record, const SealOptions& options = {});

// Seals the record into any carrier as format `version`, as SealRecord
// does into a picture's samples. The caller has checked the fit
// (SealedBytes against size() / 8).
int SealInto(SealedCarrier& carrier, uint8_t version, const Passphrase& passphrase,
             const SealedRecord& record, const SealOptions& options = {});

// What a decode read back. `message` is null on success; `code` is a
// library code (kPixErrMemory) when memory ran out.
struct UnsealedFile {
    int code = 0;
    const char* message = nullptr;
    std::string name;           // cleaned to a bare file name
    std::vector<uint8_t> data;  // the data file's bytes, unless `frame` holds them
    // With `keepFrame`, a record that came compressed stays so, checked as
    // far as its name: InflateData gives its data out in pieces, so a file
    // that inflates large is never held whole.
    std::vector<uint8_t> frame;
    uint64_t skip = 0;  // record bytes in front of the data: length and name
    // The record is a list of entries, given whole as the data (skip 0):
    // hiding/entries.h reads it.
    bool entries = false;
};

// Gives the data of `file`'s kept frame to `sink` in pieces. False when the
// frame proves damaged or `sink` returns false.
bool InflateData(const UnsealedFile& file, const std::function<bool(const uint8_t*, size_t)>& sink);

// Hooks for a decode's progress.
class UnsealSteps {
  public:
    virtual ~UnsealSteps() = default;
    virtual void HeaderOpened() {}  // the passphrase and image check out
    virtual void Decoding() {}      // about to read the content
};

// A sealed file of format `version` read back from any carrier, as
// UnsealFile reads one from pixels.
UnsealedFile UnsealFrom(const SealedCarrier& carrier, uint8_t version, const Passphrase& passphrase,
                        UnsealSteps* steps = nullptr, bool headerOnly = false,
                        bool keepFrame = false);

// Reads a sealed file back from the pixels. With `headerOnly` it stops once
// the header opens (a probe) and leaves name and data empty.
UnsealedFile UnsealFile(const uint8_t* pixels, uint64_t pixelCount, const Passphrase& passphrase,
                        UnsealSteps* steps = nullptr, bool headerOnly = false,
                        bool keepFrame = false);
