// SPDX-License-Identifier: GPL-3.0-or-later
#include "hiding/sealed.h"

#include <immintrin.h>
#include <sodium.h>
#include <sys/mman.h>
#include <zstd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <new>
#include <thread>
#include <utility>

#include "hiding/costs.h"
#include "hiding/sealed_jpeg.h"
#include "hiding/polar.h"
#include "hiding/stc.h"
#include "imagelib/run_shared.h"
#include "imagelib/common.h"
#include "imagelib/state.h"

const char* const kSealedFailedMessage = "Wrong passphrase, or no sealed file in this image";
const char* const kSealedNewerMessage = "This sealed file was made by a newer version of Ombrel";
const char* const kSealedNoWayMessage =
    "The file could not be coded into this picture: too many of its samples can change only one "
    "way (or memory ran out). A smaller file or another picture will do";

namespace {

constexpr char kKdfContext[crypto_kdf_CONTEXTBYTES + 1] = "OmbSeal1";
enum KeyId : uint64_t { kPositionKeyId = 1, kHeaderKeyId, kContentKeyId, kEmbedKeyId };

constexpr uint8_t kFirstVersion = 1;
// A JPEG's earlier version, read still. The versions of pictures and of
// JPEGs never share a number, so that a version names its kind of carrier.
constexpr uint8_t kThirdVersion = 3;
constexpr bool IsJpeg(uint8_t version) {
    return version == kSealedJpegVersion || version == kThirdVersion;
}
constexpr uint8_t kFormatVersion = kSealedPictureVersion;
constexpr uint8_t kCompressedFlag = 1;
constexpr uint8_t kEntriesFlag = 2;
constexpr unsigned kMaxPasses = 8;
constexpr unsigned kMaxMemoryLog2MiB = 10;  // 1 GiB: a crafted header asks no more
constexpr size_t kTagBytes = crypto_aead_xchacha20poly1305_ietf_ABYTES;
constexpr size_t kHeaderPlainBytes = 8;
constexpr size_t kHeaderBytes = kHeaderPlainBytes + kTagBytes;  // version 1's
// Version 2's header adds the content's split between the bit planes, and
// is coded into a region of its own at the head of the keyed positions.
constexpr size_t kHeader2PlainBytes = kHeaderPlainBytes + 2;
constexpr size_t kHeader2Bytes = kHeader2PlainBytes + kTagBytes;
constexpr uint64_t kHeaderRegion = 1024;
constexpr size_t kNameLengthBytes = 2;
constexpr size_t kMaxNameLength = kMaxNameBytes - 1;  // as the five methods allow
constexpr uint64_t kMaxRecordBytes = kNameLengthBytes + kMaxNameLength + UINT32_MAX;
constexpr uint64_t kSaltBits = kSaltBytes * 8;
// A JPEG's front: its salt and sealed header, coded as one part.
constexpr size_t kFrontBytes = kSaltBytes + kHeader2Bytes;
// The front's elements a bit that an encoder may choose, in the order a
// decoder tries them (an Argon2 run each): those near the whole file's
// rate, a small file's first (the most common: a file far smaller than
// the picture), then 1, a bit an element, which never fails to code.
constexpr unsigned kFrontSpreads[] = {16, 12, 8, 6, 4, 3, 2, 1};
// Bits of the least content: a name of one byte, no data.
constexpr uint64_t kLeastContentBits = 8 * (kNameLengthBytes + 1 + kTagBytes);
constexpr int kZstdLevel = 3;
static_assert(kSealedOverhead == kSaltBytes + kHeaderRegion / 8 + kNameLengthBytes + kTagBytes);
static_assert(crypto_pwhash_SALTBYTES == kSaltBytes);
static_assert(kSealedHeaderBytes == kHeader2Bytes && kSealedContentExtraBytes == kNameLengthBytes + kTagBytes);

const uint8_t kZeroNonce[crypto_aead_xchacha20poly1305_ietf_NPUBBYTES] = {};

bool SodiumReady() {
    static const bool ready = sodium_init() >= 0;
    return ready;
}

bool AllowedDerivation(unsigned passes, unsigned memoryLog2MiB) {
    return passes >= kSealedPasses && passes <= kMaxPasses &&
           memoryLog2MiB >= kSealedMemoryLog2MiB && memoryLog2MiB <= kMaxMemoryLog2MiB;
}

bool Argon2(const Passphrase& passphrase, const uint8_t* salt, unsigned passes,
            unsigned memoryLog2MiB, uint8_t (&out)[crypto_kdf_KEYBYTES]) {
    return crypto_pwhash(out, sizeof out, passphrase.data(), passphrase.size(), salt, passes,
                         size_t{1} << (memoryLog2MiB + 20), crypto_pwhash_ALG_ARGON2ID13) == 0;
}

void LoadRoundKeys(const uint8_t (&bytes)[64], uint64_t (&keys)[8]) {
    for (int r = 0; r < 8; ++r)
        keys[r] = GetLE32(bytes + 8 * r) | uint64_t{GetLE32(bytes + 8 * r + 4)} << 32;
}

// Everything derived from the passphrase and salt; wiped when it goes.
struct Keys {
    uint8_t master[crypto_kdf_KEYBYTES];
    uint64_t positions[8];
    uint8_t header[crypto_aead_xchacha20poly1305_ietf_KEYBYTES];
    uint8_t content[crypto_aead_xchacha20poly1305_ietf_KEYBYTES];
    uint8_t embed[crypto_stream_chacha20_KEYBYTES];

    Keys() = default;
    Keys(const Keys&) = delete;
    Keys& operator=(const Keys&) = delete;
    ~Keys() { sodium_memzero(this, sizeof *this); }
};

// The master key at the fixed setting, and the keys the header needs.
bool DeriveHeaderKeys(const Passphrase& passphrase, const uint8_t* salt, Keys* keys) {
    if (!Argon2(passphrase, salt, kSealedPasses, kSealedMemoryLog2MiB, keys->master)) return false;
    uint8_t rounds[64];
    crypto_kdf_derive_from_key(rounds, sizeof rounds, kPositionKeyId, kKdfContext, keys->master);
    LoadRoundKeys(rounds, keys->positions);
    sodium_memzero(rounds, sizeof rounds);
    crypto_kdf_derive_from_key(keys->header, sizeof keys->header, kHeaderKeyId, kKdfContext,
                               keys->master);
    crypto_kdf_derive_from_key(keys->embed, sizeof keys->embed, kEmbedKeyId, kKdfContext,
                               keys->master);
    return true;
}

// The content key: from the master key at the fixed setting, else from a
// derivation of its own at the stronger one the header names.
bool DeriveContentKey(const Passphrase& passphrase, const uint8_t* salt, unsigned passes,
                      unsigned memoryLog2MiB, Keys* keys) {
    if (passes == kSealedPasses && memoryLog2MiB == kSealedMemoryLog2MiB) {
        crypto_kdf_derive_from_key(keys->content, sizeof keys->content, kContentKeyId, kKdfContext,
                                   keys->master);
        return true;
    }
    uint8_t stronger[crypto_kdf_KEYBYTES];
    const bool derived = Argon2(passphrase, salt, passes, memoryLog2MiB, stronger);
    if (derived)
        crypto_kdf_derive_from_key(keys->content, sizeof keys->content, kContentKeyId, kKdfContext,
                                   stronger);
    sodium_memzero(stronger, sizeof stronger);
    return derived;
}

// The fixed round keys of the salt's permutation: anyone may compute them.
const uint64_t (&PublicRoundKeys())[8] {
    static const auto keys = [] {
        static const char kLabel[] = "Ombrel sealed: where the salt lies";
        uint8_t bytes[64];
        crypto_generichash(bytes, sizeof bytes, reinterpret_cast<const uint8_t*>(kLabel),
                           sizeof kLabel - 1, nullptr, 0);
        struct Rounds {
            uint64_t keys[8];
        } rounds;
        LoadRoundKeys(bytes, rounds.keys);
        return rounds;
    }();
    return keys.keys;
}

// splitmix64's finaliser: every input bit reaches every output bit.
uint64_t Mix(uint64_t z) {
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
    return z ^ (z >> 31);
}

bool AllGrey(const uint8_t* pixels, uint64_t pixelCount) {
    for (uint64_t i = 0; i < pixelCount; ++i, pixels += 3)
        if (pixels[0] != pixels[1] || pixels[1] != pixels[2]) return false;
    return true;
}

// A picture's samples as a carrier: every colour sample, or, in a picture
// whose every pixel is grey, each pixel's grey level, changed in all three
// channels at once so that the carrier stays grey.
class PictureCarrier : public SealedCarrier {
  public:
    PictureCarrier(const uint8_t* pixels, uint32_t width, uint32_t height, bool grey)
        : pixels_(const_cast<uint8_t*>(pixels)),
          width_(width),
          height_(height),
          stride_(grey ? 3 : 1),
          size_(uint64_t{width} * height * (grey ? 1 : 3)) {}

    uint64_t size() const override { return size_; }
    uint8_t Low(uint64_t i) const override { return LowOf(pixels_[i * stride_]); }
    void Lows(uint64_t from, size_t count, uint8_t* out) const override {
        const uint8_t* p = pixels_ + from * stride_;
        if (stride_ == 1)
            for (size_t i = 0; i < count; ++i) out[i] = LowOf(p[i]);
        else
            for (size_t i = 0; i < count; ++i) out[i] = LowOf(p[3 * i]);
    }
    void Change(uint64_t i, int delta) override {
        std::memset(pixels_ + i * stride_, pixels_[i * stride_] + delta, stride_);
    }
    const void* Address(uint64_t i) const override { return pixels_ + i * stride_; }
    bool Costs(float* costs) const override {
        if (stride_ == 1) return HillCosts(pixels_, width_, height_, 3, costs);
        std::vector<uint8_t> grey;
        try {
            grey.resize(size_);
        } catch (const std::bad_alloc&) {
            return false;
        }
        for (uint64_t i = 0; i < size_; ++i) grey[i] = pixels_[3 * i];
        return HillCosts(grey.data(), width_, height_, 1, costs);
    }

  private:
    static uint8_t LowOf(uint8_t v) {
        return static_cast<uint8_t>((v & 3) | (v == 255 ? stc::kNoUp : 0) |
                                    (v == 0 ? stc::kNoDown : 0));
    }

    uint8_t* pixels_;
    uint32_t width_, height_;
    unsigned stride_;
    uint64_t size_;
};

// The keyed positions after the salt's: the permutation's outputs in order,
// less the salt's positions (found through a 65536-bit filter on the low
// bits, then a search of the sorted ones).
class KeyedPositions {
  public:
    KeyedPositions(uint64_t samples, const uint64_t (&roundKeys)[8], std::vector<uint64_t> salt)
        : permutation_(samples, roundKeys), salt_(std::move(salt)) {
        std::sort(salt_.begin(), salt_.end());
        for (uint64_t p : salt_) filter_[(p >> 6) & kFilterMask] |= uint64_t{1} << (p & 63);
    }

    // The next `count` positions, each sample asked of memory as it is
    // found, so that the misses of a scattered walk overlap. The callers
    // have checked that the image holds them all.
    template <typename Out>
    void Fill(Out* out, size_t count, const SealedCarrier& carrier) {
        for (size_t i = 0; i < count; ++i) {
            while (next_ == end_ && index_ < stop_) Refill();
            const uint64_t p = next_ < end_ ? pending_[next_++] : 0;  // 0: never reached
            __builtin_prefetch(carrier.Address(p));
            out[i] = static_cast<Out>(p);
        }
    }

    // Every position left, in order: element j (counted from here, with
    // room left for the salt's positions) at position p is given to
    // read(j, p). The rest of the permutation is cut into stretches walked
    // side by side, each numbered from where it would start were no salt
    // position skipped, then closed up by move(to, from, count). Each p is
    // first asked of memory by touch(p) and read a little later, so that
    // the misses of the scattered reads overlap the permutation's
    // arithmetic. Returns how many there were.
    template <typename Touch, typename Read, typename Move>
    size_t Rest(unsigned threads, Touch touch, Read read, Move move) {
        size_t made = 0;
        for (size_t i = next_; i < end_; ++i) touch(pending_[i]);
        while (next_ < end_) read(made++, pending_[next_++]);
        const uint64_t from = index_, left = stop_ - from;
        threads = static_cast<unsigned>(std::clamp<uint64_t>(left >> 20, 1, threads));
        std::vector<size_t> counts(threads, 0);
        RunShared(threads, threads, [&](uint64_t t) {
            // Positions found and not yet read, kAhead of them or fewer.
            constexpr size_t kAhead = 64, kRing = 128;
            static_assert(kRing >= kAhead + kLanes && (kRing & (kRing - 1)) == 0);
            uint32_t ring[kRing];
            KeyedPositions stretch(*this);
            stretch.Seek(from + left * t / threads, from + left * (t + 1) / threads);
            const size_t base = made + left * t / threads;
            size_t found = 0, done = 0;
            while (stretch.index_ < stretch.stop_) {
                uint32_t batch[kLanes];
                const size_t n = stretch.Next(batch);
                for (size_t j = 0; j < n; ++j) {
                    touch(batch[j]);
                    ring[(found + j) % kRing] = batch[j];
                }
                found += n;
                for (; done + kAhead < found; ++done) read(base + done, ring[done % kRing]);
            }
            for (; done < found; ++done) read(base + done, ring[done % kRing]);
            counts[t] = found;
        });
        size_t total = made;
        for (unsigned t = 0; t < threads; ++t) {
            const size_t at = made + left * t / threads;
            if (total != at) move(total, at, counts[t]);
            total += counts[t];
        }
        index_ = stop_;
        return total;
    }

    // Positions the walk leaves out.
    size_t skipped() const { return salt_.size(); }

  private:
    static constexpr size_t kLanes = SamplePermutation::kLanes;
    static constexpr uint64_t kFilterMask = 1023;

    void Seek(uint64_t index, uint64_t stop) {
        index_ = index;
        high_ = index / permutation_.columns();
        low_ = index % permutation_.columns();
        stop_ = stop;
        next_ = end_ = 0;
    }

    // The next indices, permuted side by side, into `out`; the rare result
    // past the domain walks on alone, and the salt's positions are left
    // out. Returns how many were put.
    size_t Next(uint32_t (&out)[kLanes]) {
        const uint64_t columns = permutation_.columns();
        size_t made = 0;
        auto put = [&](uint64_t p) {
            out[made] = static_cast<uint32_t>(p);
            made += (filter_[(p >> 6) & kFilterMask] >> (p & 63) & 1) == 0 ||
                    !std::binary_search(salt_.begin(), salt_.end(), p);
        };
        if (stop_ - index_ >= kLanes && columns >= kLanes) {
            uint32_t batch[kLanes];
            const uint32_t past = permutation_.Batch(high_, low_, batch);
            for (size_t j = 0; j < kLanes; ++j) {
                if (past >> j & 1) {
                    const bool wraps = low_ + j >= columns;
                    put(permutation_.Walk(high_ + wraps, low_ + j - (wraps ? columns : 0)));
                } else {
                    put(batch[j]);
                }
            }
            index_ += kLanes;
            low_ += kLanes;
            if (low_ >= columns) low_ -= columns, ++high_;
            return made;
        }
        uint64_t high[kLanes] = {}, low[kLanes] = {};
        size_t lanes = 0;
        for (; lanes < kLanes && index_ < stop_; ++lanes, ++index_) {
            high[lanes] = high_;
            low[lanes] = low_;
            if (++low_ == columns) low_ = 0, ++high_;
        }
        permutation_.Rounds(high, low);
        for (size_t j = 0; j < lanes; ++j) {
            uint64_t p = high[j] * columns + low[j];
            if (p >= permutation_.size()) p = permutation_.Walk(high[j], low[j]);
            put(p);
        }
        return made;
    }

    void Refill() {
        next_ = 0;
        end_ = Next(pending_);
    }

    SamplePermutation permutation_;
    std::vector<uint64_t> salt_;
    uint64_t filter_[kFilterMask + 1] = {};
    uint64_t index_ = 0, high_ = 0, low_ = 0;  // the next index, also as a grid cell
    uint64_t stop_ = permutation_.size();     // the index the walk ends before
    uint32_t pending_[kLanes] = {};
    size_t next_ = 0, end_ = 0;
};


// Which way each changed sample goes: a ChaCha20 stream under the embedding
// key, one bit a change.
class Directions {
  public:
    explicit Directions(const uint8_t* key) : key_(key) {}
    ~Directions() { sodium_memzero(buffer_, sizeof buffer_); }

    bool Up() {
        if (bit_ == 8 * sizeof buffer_) {
            std::memset(buffer_, 0, sizeof buffer_);
            crypto_stream_chacha20_xor_ic(buffer_, buffer_, sizeof buffer_, kNonce, block_, key_);
            block_ += sizeof buffer_ / 64;
            bit_ = 0;
        }
        const bool up = buffer_[bit_ / 8] >> (bit_ % 8) & 1;
        ++bit_;
        return up;
    }

  private:
    static constexpr uint8_t kNonce[crypto_stream_chacha20_NONCEBYTES] = {};
    const uint8_t* key_;
    uint8_t buffer_[512];
    size_t bit_ = 8 * sizeof buffer_;
    uint64_t block_ = 0;
};

// +-1 where the lowest bit must change; an end of the range can go one way
// only.
void PutBit(SealedCarrier& carrier, uint64_t at, unsigned bit, Directions& directions) {
    const uint8_t low = carrier.Low(at);
    if ((low & 1u) == bit) return;
    if (low & stc::kNoDown)
        carrier.Change(at, 1);
    else if (low & stc::kNoUp)
        carrier.Change(at, -1);
    else
        carrier.Change(at, directions.Up() ? 1 : -1);
}

constexpr size_t kBlockBytes = 64;  // positions found ahead of their use

template <typename Positions>
void GetBytes(const SealedCarrier& carrier, uint8_t* bytes, size_t count, Positions& positions) {
    uint64_t at[8 * kBlockBytes];
    for (size_t i = 0; i < count; i += kBlockBytes) {
        const size_t n = std::min(kBlockBytes, count - i);
        positions.Fill(at, 8 * n, carrier);
        for (size_t j = 0; j < n; ++j) {
            unsigned value = 0;
            for (unsigned b = 0; b < 8; ++b) value |= (carrier.Low(at[8 * j + b]) & 1u) << b;
            bytes[i + j] = static_cast<uint8_t>(value);
        }
    }
}

template <typename T>
bool Resize(std::vector<T>* vector, size_t size) {
    try {
        vector->resize(size);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

struct DCtxFree {
    void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};

// Inflates `frame` into `out` until it is full or the frame ends; false on
// an error or when the frame stops giving before `out` is full or done.
bool InflateSome(ZSTD_DCtx* context, ZSTD_inBuffer* in, ZSTD_outBuffer* out, bool* ended) {
    *ended = false;
    while (out->pos < out->size) {
        const size_t inBefore = in->pos, outBefore = out->pos;
        const size_t hint = ZSTD_decompressStream(context, out, in);
        if (ZSTD_isError(hint)) return false;
        if (hint == 0) {
            *ended = true;
            return true;
        }
        if (in->pos == inBefore && out->pos == outBefore) return false;  // stuck: cut short
    }
    return true;
}

// The stored name at the front of a record of `recordBytes`, of which
// `available` are at hand, cleaned as the five methods do; file->skip gets
// the bytes in front of the data.
const char* ReadName(const uint8_t* record, size_t available, uint64_t recordBytes,
                     UnsealedFile* file) {
    if (available < kNameLengthBytes) return kInvalidFileMessage;
    const size_t length = GetLE16(record);
    if (length == 0 || length > kMaxNameLength || recordBytes - kNameLengthBytes < length ||
        available - kNameLengthBytes < length)
        return kInvalidFileMessage;
    uint8_t name[kMaxNameBytes] = {};
    std::memcpy(name, record + kNameLengthBytes, length);
    if (!CleanStoredName(name, length + 1, &file->name)) return kInvalidFileMessage;
    file->skip = kNameLengthBytes + length;
    return nullptr;
}

// The frame's claims checked, its name read, the rest kept for InflateData.
const char* OpenFrame(std::vector<uint8_t>&& frame, UnsealedFile* file) {
    const unsigned long long size = ZSTD_getFrameContentSize(frame.data(), frame.size());
    // A frame's blocks bound what it can produce: each yields at most
    // 128 KiB and any that yields something takes 4 bytes or more. A 17-byte
    // frame claiming 4 GiB got 4 GiB allocated before its block came short.
    const uint64_t canProduce = (uint64_t{frame.size()} / 4 + 1) * ZSTD_BLOCKSIZE_MAX;
    if (size == ZSTD_CONTENTSIZE_UNKNOWN || size == ZSTD_CONTENTSIZE_ERROR ||
        size > kMaxRecordBytes || size > canProduce ||
        ZSTD_findFrameCompressedSize(frame.data(), frame.size()) != frame.size())
        return kInvalidFileMessage;
    std::unique_ptr<ZSTD_DCtx, DCtxFree> context(ZSTD_createDCtx());
    if (!context) {
        file->code = kPixErrMemory;
        return nullptr;
    }
    uint8_t head[kNameLengthBytes + kMaxNameBytes] = {};
    ZSTD_inBuffer in{frame.data(), frame.size(), 0};
    ZSTD_outBuffer out{head, static_cast<size_t>(std::min<uint64_t>(size, sizeof head)), 0};
    bool ended = false;
    if (!InflateSome(context.get(), &in, &out, &ended)) return kInvalidFileMessage;
    if (!file->entries)
        if (const char* message = ReadName(head, out.pos, size, file)) return message;
    file->frame = std::move(frame);
    return nullptr;
}

// The kept frame's data inflated into file->data, for callers that want
// the bytes at hand; its size is bounded by the frame's blocks.
void InflateWhole(UnsealedFile* file) {
    const uint64_t size =
        ZSTD_getFrameContentSize(file->frame.data(), file->frame.size()) - file->skip;
    if (!Resize(&file->data, static_cast<size_t>(size))) {
        file->code = kPixErrMemory;
        return;
    }
    size_t at = 0;
    const bool whole = InflateData(*file, [&](const uint8_t* bytes, size_t count) {
        if (count > file->data.size() - at) return false;
        std::memcpy(file->data.data() + at, bytes, count);
        at += count;
        return true;
    });
    file->frame = {};
    if (!whole) {
        file->data = {};
        file->message = kInvalidFileMessage;
    }
}

// Name and data out of a record stored as it is.
const char* SplitRecord(std::vector<uint8_t>&& record, UnsealedFile* file) {
    if (file->entries) {
        file->data = std::move(record);
        return nullptr;
    }
    if (const char* message = ReadName(record.data(), record.size(), record.size(), file))
        return message;
    record.erase(record.begin(), record.begin() + static_cast<ptrdiff_t>(file->skip));
    file->data = std::move(record);
    return nullptr;
}

}  // namespace

Passphrase::Passphrase() {
    if (SodiumReady()) bytes_ = static_cast<char*>(sodium_malloc(kMaxBytes));
}

Passphrase::~Passphrase() {
    sodium_free(bytes_);  // wipes it
}

Passphrase::Passphrase(Passphrase&& other) noexcept
    : bytes_(std::exchange(other.bytes_, nullptr)), size_(std::exchange(other.size_, 0)) {}

Passphrase& Passphrase::operator=(Passphrase&& other) noexcept {
    if (this != &other) {
        sodium_free(bytes_);
        bytes_ = std::exchange(other.bytes_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

bool Passphrase::Assign(const char* text, size_t size) {
    Clear();
    if (bytes_ == nullptr || size > kMaxBytes) return false;
    if (size > 0) std::memcpy(bytes_, text, size);
    size_ = size;
    return true;
}

bool Passphrase::Append(char c) {
    if (bytes_ == nullptr || size_ == kMaxBytes) return false;
    bytes_[size_++] = c;
    return true;
}

void Passphrase::Clear() {
    if (bytes_ != nullptr) sodium_memzero(bytes_, kMaxBytes);
    size_ = 0;
}

bool Passphrase::Equals(const Passphrase& other) const {
    if (size_ != other.size_) return false;
    return size_ == 0 || sodium_memcmp(bytes_, other.bytes_, size_) == 0;
}

SamplePermutation::SamplePermutation(uint64_t size, const uint64_t (&roundKeys)[8])
    : size_(std::max<uint64_t>(size, 1)) {
    rows_ = static_cast<uint64_t>(std::ceil(std::sqrt(static_cast<double>(size_))));
    while (rows_ > 1 && (rows_ - 1) * (rows_ - 1) >= size_) --rows_;  // sqrt rounded up
    columns_ = (size_ + rows_ - 1) / rows_;
    std::copy(std::begin(roundKeys), std::end(roundKeys), roundKeys_);
}

SamplePermutation::~SamplePermutation() {
    sodium_memzero(roundKeys_, sizeof roundKeys_);
}

namespace {

// A mix's top 32 bits scaled into [0, range) and added modulo range: no
// division in a round.
uint64_t AddMixed(uint64_t half, uint64_t mix, uint64_t range) {
    const uint64_t sum = half + ((mix >> 32) * range >> 32);
    return sum >= range ? sum - range : sum;
}

// GCC 12's AVX-512 headers start vectors from undefined values.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

// Mix and AddMixed eight lanes at a time. The compiler leaves the 64-bit
// multiplies scalar; four vectors side by side hide their latency.
__attribute__((target("avx512f,avx512dq"))) __m512i Mix8(__m512i z) {
    z = _mm512_xor_si512(z, _mm512_srli_epi64(z, 30));
    z = _mm512_mullo_epi64(z, _mm512_set1_epi64(static_cast<long long>(0xbf58476d1ce4e5b9u)));
    z = _mm512_xor_si512(z, _mm512_srli_epi64(z, 27));
    z = _mm512_mullo_epi64(z, _mm512_set1_epi64(static_cast<long long>(0x94d049bb133111ebu)));
    return _mm512_xor_si512(z, _mm512_srli_epi64(z, 31));
}

__attribute__((target("avx512f,avx512dq"))) __m512i AddMixed8(__m512i half, __m512i mix,
                                                               __m512i range) {
    // range is below 2^32: the product of two 32-bit halves is exact.
    const __m512i sum = _mm512_add_epi64(
        half, _mm512_srli_epi64(_mm512_mul_epu32(_mm512_srli_epi64(mix, 32), range), 32));
    return _mm512_min_epu64(sum, _mm512_sub_epi64(sum, range));  // below range: wraps high
}

struct Grid {
    const uint64_t (&keys)[8];
    uint64_t rows, columns, size;
};

__attribute__((target("avx512f,avx512dq"))) void RoundsAvx512(const Grid& grid, __m512i* h,
                                                               __m512i* l) {
    constexpr size_t kVectors = SamplePermutation::kLanes / 8;
    const __m512i rowRange = _mm512_set1_epi64(static_cast<long long>(grid.rows));
    const __m512i columnRange = _mm512_set1_epi64(static_cast<long long>(grid.columns));
    for (int r = 0; r < 8; r += 2) {
        const __m512i even = _mm512_set1_epi64(static_cast<long long>(grid.keys[r]));
        const __m512i odd = _mm512_set1_epi64(static_cast<long long>(grid.keys[r + 1]));
        for (size_t v = 0; v < kVectors; ++v)
            h[v] = AddMixed8(h[v], Mix8(_mm512_xor_si512(l[v], even)), rowRange);
        for (size_t v = 0; v < kVectors; ++v)
            l[v] = AddMixed8(l[v], Mix8(_mm512_xor_si512(h[v], odd)), columnRange);
    }
}

__attribute__((target("avx512f,avx512dq"))) void RoundsArraysAvx512(const Grid& grid,
                                                                     uint64_t* high,
                                                                     uint64_t* low) {
    constexpr size_t kVectors = SamplePermutation::kLanes / 8;
    __m512i h[kVectors], l[kVectors];
    for (size_t v = 0; v < kVectors; ++v) {
        h[v] = _mm512_loadu_si512(high + 8 * v);
        l[v] = _mm512_loadu_si512(low + 8 * v);
    }
    RoundsAvx512(grid, h, l);
    for (size_t v = 0; v < kVectors; ++v) {
        _mm512_storeu_si512(high + 8 * v, h[v]);
        _mm512_storeu_si512(low + 8 * v, l[v]);
    }
}

// The cells of kLanes consecutive indices from (high, low), made in the
// vectors themselves: a row holds them all or wraps once.
__attribute__((target("avx512f,avx512dq"))) uint32_t BatchAvx512(const Grid& grid, uint64_t high,
                                                                  uint64_t low, uint32_t* out) {
    constexpr size_t kVectors = SamplePermutation::kLanes / 8;
    const __m512i columns = _mm512_set1_epi64(static_cast<long long>(grid.columns));
    const __m512i size = _mm512_set1_epi64(static_cast<long long>(grid.size));
    __m512i h[kVectors], l[kVectors];
    for (size_t v = 0; v < kVectors; ++v) {
        const __m512i cell = _mm512_add_epi64(
            _mm512_set1_epi64(static_cast<long long>(low + 8 * v)),
            _mm512_setr_epi64(0, 1, 2, 3, 4, 5, 6, 7));
        const __mmask8 wraps = _mm512_cmpge_epu64_mask(cell, columns);
        l[v] = _mm512_mask_sub_epi64(cell, wraps, cell, columns);
        h[v] = _mm512_mask_add_epi64(_mm512_set1_epi64(static_cast<long long>(high)), wraps,
                                     _mm512_set1_epi64(static_cast<long long>(high)),
                                     _mm512_set1_epi64(1));
    }
    RoundsAvx512(grid, h, l);
    uint32_t past = 0;
    for (size_t v = 0; v < kVectors; ++v) {
        // Both halves lie below 2^32: the product is exact.
        const __m512i p = _mm512_add_epi64(_mm512_mul_epu32(h[v], columns), l[v]);
        past |= uint32_t{_mm512_cmpge_epu64_mask(p, size)} << (8 * v);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 8 * v), _mm512_cvtepi64_epi32(p));
    }
    return past;
}

#pragma GCC diagnostic pop

}  // namespace

namespace {

bool HasAvx512Dq() {
    static const bool has = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
    return has;
}

}  // namespace

void SamplePermutation::Rounds(uint64_t (&high)[kLanes], uint64_t (&low)[kLanes]) const {
    static_assert(kLanes % 8 == 0);
    if (HasAvx512Dq())
        return RoundsArraysAvx512({roundKeys_, rows_, columns_, size_}, high, low);
    for (int r = 0; r < 8; r += 2) {
        for (size_t j = 0; j < kLanes; ++j)
            high[j] = AddMixed(high[j], Mix(low[j] ^ roundKeys_[r]), rows_);
        for (size_t j = 0; j < kLanes; ++j)
            low[j] = AddMixed(low[j], Mix(high[j] ^ roundKeys_[r + 1]), columns_);
    }
}

uint32_t SamplePermutation::Batch(uint64_t high, uint64_t low, uint32_t (&out)[kLanes]) const {
    if (HasAvx512Dq()) return BatchAvx512({roundKeys_, rows_, columns_, size_}, high, low, out);
    uint64_t h[kLanes], l[kLanes];
    for (size_t j = 0; j < kLanes; ++j) {
        h[j] = high;
        l[j] = low;
        if (++low == columns_) low = 0, ++high;
    }
    Rounds(h, l);
    uint32_t past = 0;
    for (size_t j = 0; j < kLanes; ++j) {
        const uint64_t p = h[j] * columns_ + l[j];
        out[j] = static_cast<uint32_t>(p);
        past |= uint32_t{p >= size_} << j;
    }
    return past;
}

uint64_t SamplePermutation::Walk(uint64_t high, uint64_t low) const {
    for (;;) {
        for (int r = 0; r < 8; r += 2) {
            high = AddMixed(high, Mix(low ^ roundKeys_[r]), rows_);
            low = AddMixed(low, Mix(high ^ roundKeys_[r + 1]), columns_);
        }
        const uint64_t x = high * columns_ + low;
        if (x < size_) return x;
    }
}

std::vector<uint64_t> SaltPositions(uint64_t samples, uint64_t count) {
    std::vector<uint64_t> positions;
    if (samples < count || !SodiumReady()) return positions;
    const SamplePermutation permutation(samples, PublicRoundKeys());
    for (uint64_t i = 0; i < count; ++i) positions.push_back(permutation(i));
    return positions;
}

SealedLayout SealedLayoutOf(uint8_t version, uint64_t size, unsigned spread) {
    SealedLayout layout{kSaltBits, kHeaderRegion, 0};
    // A JPEG carries few elements: a salt a bit an element or a header in
    // a region of fixed size would take a large share of its changes, at a
    // rate far from the content's. The two go together instead, where
    // changes cost least, at about the whole file's rate.
    if (IsJpeg(version)) layout = {spread * 8 * kFrontBytes, 0, 0};
    const uint64_t fixed = layout.salt + layout.header;
    layout.content = size > fixed ? size - fixed : 0;
    return layout;
}

namespace {

// The uncompressed record in *raw, its data left for the caller to fill.
bool StartRecord(const std::string& name, size_t dataBytes, std::vector<uint8_t>* raw) {
    if (!Resize(raw, kNameLengthBytes + name.size() + dataBytes)) return false;
    PutLE16(raw->data(), static_cast<uint16_t>(name.size()));
    std::memcpy(raw->data() + kNameLengthBytes, name.data(), name.size());
    return true;
}

// The raw record in place of itself compressed, when that is smaller.
void CompressWhenSmaller(SealedRecord* record) {
    std::vector<uint8_t>& raw = record->bytes;
    std::vector<uint8_t> frame;
    if (!Resize(&frame, ZSTD_compressBound(raw.size()))) return;  // kept as it is
    const size_t made =
        ZSTD_compress(frame.data(), frame.size(), raw.data(), raw.size(), kZstdLevel);
    if (!ZSTD_isError(made) && made < raw.size()) {
        frame.resize(made);
        raw = std::move(frame);
        record->compressed = true;
    }
}

struct CCtxFree {
    void operator()(ZSTD_CCtx* context) const { ZSTD_freeCCtx(context); }
};

// Feeds `in` to the compressor into `out`; false when `out` filled up
// before the compressor was done with it, or on an error.
bool Feed(ZSTD_CCtx* context, ZSTD_outBuffer* out, ZSTD_inBuffer* in, ZSTD_EndDirective mode) {
    for (;;) {
        const size_t left = ZSTD_compressStream2(context, out, in, mode);
        if (ZSTD_isError(left)) return false;
        const bool done = mode == ZSTD_e_end ? left == 0 : in->pos == in->size;
        if (done) return true;
        if (out->pos == out->size) return false;
    }
}

}  // namespace

bool PackRecord(const std::string& name, const uint8_t* data, size_t size, SealedRecord* record) {
    record->compressed = false;
    if (!StartRecord(name, size, &record->bytes)) return false;
    if (size > 0) std::memcpy(record->bytes.data() + kNameLengthBytes + name.size(), data, size);
    CompressWhenSmaller(record);
    return true;
}

int PackRecordFromFile(const std::string& name, std::FILE* file, uint64_t size, uint64_t limit,
                       SealedRecord* record, bool* fits) {
    std::vector<uint8_t> head;
    if (!StartRecord(name, 0, &head)) return kPixErrMemory;
    record->entries = false;
    return PackRecordFrom(
        head, size,
        [file](uint8_t* into, size_t count) { return std::fread(into, 1, count, file) == count; },
        limit, record, fits);
}

int PackRecordFrom(const std::vector<uint8_t>& head, uint64_t size,
                   const std::function<bool(uint8_t* into, size_t count)>& read, uint64_t limit,
                   SealedRecord* record, bool* fits) {
    record->compressed = false;
    record->bytes.clear();
    *fits = false;
    const uint64_t rawBytes = head.size() + size;
    if (rawBytes <= limit) {
        if (!Resize(&record->bytes, static_cast<size_t>(rawBytes))) return kPixErrMemory;
        std::copy(head.begin(), head.end(), record->bytes.begin());
        if (size > 0 && !read(record->bytes.data() + head.size(), static_cast<size_t>(size)))
            return kPixErrRead;
        CompressWhenSmaller(record);
        *fits = true;
        return 0;
    }
    // Too large as it is: only a frame within the limit can fit, so the
    // compression stops as soon as its output passes the limit.
    std::unique_ptr<ZSTD_CCtx, CCtxFree> context(ZSTD_createCCtx());
    std::vector<uint8_t> frame, chunk;
    if (!context || !Resize(&frame, static_cast<size_t>(limit)) || !Resize(&chunk, 1 << 20))
        return kPixErrMemory;
    ZSTD_CCtx_setParameter(context.get(), ZSTD_c_compressionLevel, kZstdLevel);
    ZSTD_CCtx_setPledgedSrcSize(context.get(), rawBytes);  // the decoder wants the size
    ZSTD_outBuffer out{frame.data(), frame.size(), 0};
    ZSTD_inBuffer in{head.data(), head.size(), 0};
    if (!Feed(context.get(), &out, &in, ZSTD_e_continue)) return 0;
    for (uint64_t left = size; left > 0;) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(left, chunk.size()));
        if (!read(chunk.data(), want)) return kPixErrRead;
        left -= want;
        in = ZSTD_inBuffer{chunk.data(), want, 0};
        if (!Feed(context.get(), &out, &in, ZSTD_e_continue)) return 0;
    }
    in = ZSTD_inBuffer{nullptr, 0, 0};
    if (!Feed(context.get(), &out, &in, ZSTD_e_end)) return 0;
    frame.resize(out.pos);
    record->bytes = std::move(frame);
    record->compressed = true;
    *fits = true;
    return 0;
}

uint64_t SealedBytes(uint64_t recordBytes) {
    return kSaltBytes + kHeaderRegion / 8 + recordBytes + kTagBytes;
}

uint64_t SealedRoom(const uint8_t* pixels, uint64_t pixelCount) {
    return (AllGrey(pixels, pixelCount) ? pixelCount : 3 * pixelCount) / 8;
}

namespace {

// Version 1 carried its header a bit a sample after the salt.
uint64_t FirstVersionBytes(uint64_t recordBytes) {
    return kSaltBytes + kHeaderBytes + recordBytes + kTagBytes;
}

// An array of plain values left unset: the users fill every element they
// read, so clearing first would only cost another trip over many
// megabytes. One read at random may ask for huge pages, so that each read
// does not also miss in the address cache.
template <typename T>
class Buffer {
  public:
    bool Reset(size_t count, bool huge = false) {
        data_.reset();
        size_ = 0;
        const size_t bytes = std::max<size_t>(count * sizeof(T), 1);
        if (huge) {
            void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (p == MAP_FAILED) return false;
            ::madvise(p, bytes, MADV_HUGEPAGE);  // a hint: without it, only slower
            data_ = Owned(static_cast<T*>(p), Free{bytes});
        } else {
            data_ = Owned(new (std::nothrow) T[bytes / sizeof(T) + 1], Free{0});
            if (!data_) return false;
        }
        size_ = count;
        return true;
    }
    void Shrink(size_t count) { size_ = std::min(size_, count); }
    T* data() { return data_.get(); }
    const T* data() const { return data_.get(); }
    size_t size() const { return size_; }
    T& operator[](size_t i) { return data_.get()[i]; }
    const T& operator[](size_t i) const { return data_.get()[i]; }
    T* begin() { return data(); }
    T* end() { return data() + size_; }

  private:
    struct Free {
        size_t mapped;  // bytes mapped; 0 for memory from new[]
        void operator()(T* p) const {
            if (mapped != 0)
                ::munmap(p, mapped);
            else
                delete[] p;
        }
    };
    using Owned = std::unique_ptr<T, Free>;
    Owned data_{nullptr, Free{0}};
    size_t size_ = 0;
};

// The keyed positions' two low bits and what their samples allow, with
// costs, for the coder.
struct Coded {
    Buffer<uint32_t> at;
    Buffer<uint8_t> low;
    Buffer<float> cost;
};

// Costs and low bits in one word, so a scattered read of an element is one
// miss, not two: the low bits and flags take the cost's four lowest
// mantissa bits (a relative change below 2^-19).
constexpr uint32_t kLowBits = 0xF;

void PackLows(const SealedCarrier& carrier, float* costs) {
    const uint64_t size = carrier.size();
    const unsigned threads = static_cast<unsigned>(
        std::clamp<uint64_t>(size >> 20, 1, std::max(1u, std::thread::hardware_concurrency())));
    RunShared(threads, threads, [&](uint64_t t) {
        uint8_t lows[4096];
        const uint64_t end = size * (t + 1) / threads;
        for (uint64_t from = size * t / threads; from < end; from += sizeof lows) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(sizeof lows, end - from));
            carrier.Lows(from, n, lows);
            for (size_t i = 0; i < n; ++i) {
                uint32_t word;
                std::memcpy(&word, costs + from + i, sizeof word);
                word = (word & ~kLowBits) | lows[i];
                std::memcpy(costs + from + i, &word, sizeof word);
            }
        }
    });
}

// Element j's low bits from coded->at, through the packed costs when given.
void ReadOne(const SealedCarrier& carrier, const float* packed, size_t j, Coded* coded) {
    if (packed == nullptr) {
        coded->low[j] = carrier.Low(coded->at[j]);
        return;
    }
    uint32_t word;
    std::memcpy(&word, packed + coded->at[j], sizeof word);
    coded->low[j] = static_cast<uint8_t>(word & kLowBits);
    word &= ~kLowBits;
    std::memcpy(&coded->cost[j], &word, sizeof word);
}

void ReadAt(const SealedCarrier& carrier, const float* costs, Coded* coded, unsigned threads) {
    const size_t count = coded->at.size();
    threads = static_cast<unsigned>(std::clamp<size_t>(count >> 20, 1, threads));
    RunShared(threads, threads, [&](uint64_t t) {
        const size_t from = count * t / threads, to = count * (t + 1) / threads;
        constexpr size_t kAhead = 64;  // scattered reads asked for ahead of use
        for (size_t j = from; j < to; ++j) {
            if (j + kAhead < to)
                __builtin_prefetch(costs ? static_cast<const void*>(costs + coded->at[j + kAhead])
                                         : carrier.Address(coded->at[j + kAhead]));
            ReadOne(carrier, costs, j, coded);
        }
    });
}

// Every element's two low bits, four a byte: a fraction of the carrier's
// size, so that a decode's scattered reads mostly find them in cache.
bool PackedLows(const SealedCarrier& carrier, unsigned threads, Buffer<uint8_t>* packed) {
    const uint64_t size = carrier.size(), bytes = (size + 3) / 4;
    if (!packed->Reset(static_cast<size_t>(bytes))) return false;
    threads = static_cast<unsigned>(std::clamp<uint64_t>(bytes >> 18, 1, threads));
    RunShared(threads, threads, [&](uint64_t t) {
        uint8_t lows[4096];
        const uint64_t end = bytes * (t + 1) / threads;
        for (uint64_t b = bytes * t / threads; b < end;) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(sizeof lows, size - 4 * b));
            carrier.Lows(4 * b, n, lows);
            for (size_t i = 0; i < n && b < end; i += 4, ++b) {
                unsigned four = 0;
                for (size_t k = i; k < std::min(i + 4, n); ++k)
                    four |= (lows[k] & 3u) << (2 * (k - i));
                (*packed)[b] = static_cast<uint8_t>(four);
            }
        }
    });
    return true;
}

// Every keyed position left and its sample's low bits; with `costs`, their
// costs too (without, the low bits alone, not what the samples allow). An
// encode walks first and reads after, each pass on every core: the walk's
// arithmetic and the reads' misses, interleaved, overlapped less than
// they hindered each other (measured). A decode reads as it walks, from
// low bits packed small enough to stay mostly in cache.
bool GatherRest(const SealedCarrier& carrier, KeyedPositions& positions, uint64_t count,
                const float* costs, Coded* coded) {
    const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
    const size_t room = count + positions.skipped();
    if (costs) {
        if (!coded->at.Reset(room) || !coded->low.Reset(room) || !coded->cost.Reset(room))
            return false;
        const size_t made = positions.Rest(
            threads, [](uint64_t) {}, [&](size_t j, uint32_t p) { coded->at[j] = p; },
            [&](size_t to, size_t from, size_t n) {
                std::memmove(coded->at.data() + to, coded->at.data() + from, n * sizeof(uint32_t));
            });
        if (made != count) return false;  // never: counted
        coded->at.Shrink(count);
        coded->low.Shrink(count);
        coded->cost.Shrink(count);
        ReadAt(carrier, costs, coded, threads);
        return true;
    }
    Buffer<uint8_t> packed;
    if (!coded->low.Reset(room) || !PackedLows(carrier, threads, &packed)) return false;
    const uint8_t* lows = packed.data();
    const size_t made = positions.Rest(
        threads, [&](uint64_t p) { __builtin_prefetch(lows + p / 4); },
        [&](size_t j, uint32_t p) {
            coded->low[j] = static_cast<uint8_t>(lows[p / 4] >> (2 * (p % 4)) & 3);
        },
        [&](size_t to, size_t from, size_t n) {
            std::memmove(coded->low.data() + to, coded->low.data() + from, n);
        });
    if (made != count) return false;  // never: counted
    coded->low.Shrink(count);
    return true;
}

// The next `count` keyed positions and their samples' low bits; with
// `costs`, their costs too.
bool Gather(const SealedCarrier& carrier, KeyedPositions& positions, uint64_t count, const float* costs,
            Coded* coded) {
    if (!coded->at.Reset(count) || !coded->low.Reset(count) ||
        (costs && !coded->cost.Reset(count)))
        return false;
    positions.Fill(coded->at.data(), count, carrier);
    ReadAt(carrier, costs, coded, 1);
    return true;
}

// Adds a 0 or 1 from a stream to each value a ternary code sees. Which way
// flips the second bit then no longer follows a value's parity, so what one
// bit plane's code does differently from the other's falls on both signs
// and every value alike, not on pairs a histogram shows (1 and 2 against
// -1 and -2 in a JPEG, where +-1 can move only away from 0).
void OffsetLows(const uint8_t* key, uint8_t part, Buffer<uint8_t>* low) {
    const uint8_t nonce[crypto_stream_chacha20_NONCEBYTES] = {part};
    static constexpr std::array<uint8_t, 4096> kZeros{};
    uint8_t stream[kZeros.size()];
    for (size_t from = 0; from < low->size(); from += 8 * sizeof stream) {
        const size_t n = std::min(low->size() - from, 8 * sizeof stream);
        crypto_stream_chacha20_xor_ic(stream, kZeros.data(), sizeof stream, nonce, from / (8 * 64),
                                      key);
        for (size_t i = 0; i < n; ++i) {
            uint8_t& v = (*low)[from + i];
            v = static_cast<uint8_t>(((v + (stream[i / 8] >> (i % 8) & 1)) & 3) | (v & ~3u));
        }
    }
    sodium_memzero(stream, sizeof stream);
}

// The listed positions' low bits; with `costs`, their costs too.
bool GatherListed(const SealedCarrier& carrier, const std::vector<uint64_t>& positions,
                  const float* costs, Coded* coded) {
    if (!coded->at.Reset(positions.size()) || !coded->low.Reset(positions.size()) ||
        (costs && !coded->cost.Reset(positions.size())))
        return false;
    for (size_t i = 0; i < positions.size(); ++i) coded->at[i] = static_cast<uint32_t>(positions[i]);
    ReadAt(carrier, costs, coded, 1);
    return true;
}

// How a part is coded in its region: a bit an element where the region
// has no room to spare (a picture's salt; a JPEG's front at one element a
// bit, the way out when the code finds none); by a binary code of the
// lowest bits (a picture's header); or by the ternary code at an even
// split, over values offset as the content's are (a JPEG's front, whose
// changes must fall on both signs alike, as the content's do).
enum class RegionCode { kDirect, kBinary, kTernary };
constexpr uint16_t kEvenShare = 32768;

RegionCode CodeOf(uint8_t version, uint64_t elements, uint64_t bits) {
    if (elements == bits) return RegionCode::kDirect;
    return IsJpeg(version) ? RegionCode::kTernary : RegionCode::kBinary;
}

// Which stream offsets each part's values.
enum OffsetPart : uint8_t { kContentOffsets = 1, kFrontOffsets };

// The key of a JPEG front's offsets: anyone may compute it, as the
// front's positions.
const uint8_t* PublicOffsetKey() {
    static const auto key = [] {
        static const char kLabel[] = "Ombrel sealed: offsets of the salt";
        std::array<uint8_t, crypto_stream_chacha20_KEYBYTES> bytes{};
        crypto_generichash(bytes.data(), bytes.size(), reinterpret_cast<const uint8_t*>(kLabel),
                           sizeof kLabel - 1, nullptr, 0);
        return bytes;
    }();
    return key.data();
}

// `bytes` into the coded elements, where changing costs least; false when
// no way avoids a forbidden change.
bool PutRegion(SealedCarrier& carrier, Coded& coded, const uint8_t* bytes, size_t count,
               RegionCode code, const uint8_t* offsetKey, OffsetPart part, Directions& directions) {
    const size_t n = coded.at.size();
    std::vector<uint8_t> message(8 * count);
    for (size_t i = 0; i < message.size(); ++i) message[i] = bytes[i / 8] >> (i % 8) & 1;
    if (code == RegionCode::kDirect) {
        for (size_t i = 0; i < n; ++i) PutBit(carrier, coded.at[i], message[i], directions);
        return true;
    }
    if (code == RegionCode::kBinary) {
        std::vector<uint8_t> x(n), y(n);
        for (size_t i = 0; i < n; ++i) x[i] = coded.low[i] & 1;
        if (!stc::EmbedBits(x.data(), coded.cost.data(), n, message.data(), message.size(),
                            stc::kHeight, y.data()))
            return false;
        for (size_t i = 0; i < n; ++i)
            if (x[i] != y[i]) PutBit(carrier, coded.at[i], y[i], directions);
        return true;
    }
    OffsetLows(offsetKey, part, &coded.low);
    const std::vector<uint8_t> before(coded.low.begin(), coded.low.end());
    if (!stc::EmbedAtShare({coded.low.data(), coded.cost.data(), n}, bytes, 8 * count, kEvenShare))
        return false;
    for (size_t i = 0; i < n; ++i) {
        const unsigned step = (coded.low[i] - before[i]) & 3;  // +1, -1 or none
        if (step != 0) carrier.Change(coded.at[i], step == 1 ? 1 : -1);
    }
    return true;
}

// The bytes a region carries.
void GetRegion(Coded& coded, uint8_t* bytes, size_t count, RegionCode code,
               const uint8_t* offsetKey, OffsetPart part) {
    const size_t n = coded.low.size();
    if (code == RegionCode::kDirect) {
        std::memset(bytes, 0, count);
        for (size_t i = 0; i < n && i < 8 * count; ++i)
            bytes[i / 8] |= static_cast<uint8_t>((coded.low[i] & 1) << (i % 8));
        return;
    }
    if (code == RegionCode::kTernary) OffsetLows(offsetKey, part, &coded.low);
    stc::Extract(coded.low.data(), n, 8 * count, code == RegionCode::kTernary ? kEvenShare : 0,
                 bytes);
}

// The header or salt found no way through its region; another salt gives
// other regions.
constexpr int kRegionNoWay = -3;

// A carrier's changes, kept to be undone.
class UndoableCarrier : public SealedCarrier {
  public:
    explicit UndoableCarrier(SealedCarrier& carrier) : carrier_(carrier) {}
    uint64_t size() const override { return carrier_.size(); }
    uint8_t Low(uint64_t i) const override { return carrier_.Low(i); }
    void Change(uint64_t i, int delta) override {
        carrier_.Change(i, delta);
        done_.emplace_back(i, delta);
    }
    const void* Address(uint64_t i) const override { return carrier_.Address(i); }
    bool Costs(float* costs) const override { return carrier_.Costs(costs); }
    void Undo() {
        for (auto it = done_.rbegin(); it != done_.rend(); ++it) carrier_.Change(it->first, -it->second);
        done_.clear();
    }

  private:
    SealedCarrier& carrier_;
    std::vector<std::pair<uint64_t, int>> done_;
};

// The front spread nearest, by ratio, to the elements a bit of the whole
// file, of those that leave the content a rate the coder takes (1 when
// none does).
unsigned FrontSpread(uint64_t size, uint64_t contentBytes) {
    const double wanted = double(size) / double(8 * (kFrontBytes + contentBytes));
    unsigned best = 1;
    double bestOff = std::numeric_limits<double>::infinity();
    for (const unsigned spread : kFrontSpreads) {
        const uint64_t content = SealedLayoutOf(kSealedJpegVersion, size, spread).content;
        if (spread == 1 || 8 * contentBytes * kJpegMostBitsPerElement.second >
                                  content * kJpegMostBitsPerElement.first) continue;
        const double off = std::fabs(std::log(spread / wanted));
        if (off < bestOff) best = spread, bestOff = off;
    }
    return best;
}

// The content's code: trellis height and elements a block, or polar
// blocks of up to 2^polarLog. A JPEG has few elements, and a taller code
// loses less against the bound (at 0.2 bits an element, on photographs at
// quality 75: 1.10 against 1.115), at twice the time a step. Version 4 of a
// picture goes further, in long blocks, since the ends of short blocks
// cost most at small payloads, up to the heights that keep the coding to a
// few seconds: on photographs of 256x256 it comes to 1.10 to 1.08 times the
// bound from 0.05 to 0.4 bits a sample (version 2's code: 1.13 to 1.11),
// and of 512x512 to 1.10 to 1.08 (1.13 to 1.10). Larger pictures keep
// version 2's code there; version 5 codes them in polar blocks, faster,
// at 1.12 to 1.07 times the bound where the trellis of height 8 gives 1.21
// to 1.16 (photographs of 10 to 18 megapixels; on crops of 1024x1024,
// 1.16 to 1.13 where height 10 gives 1.15 to 1.22, in a third of the time).
// A JPEG's version 6 does the same past 2 M coefficients: on the UERD costs
// of two photographs' 25 M, 1.15 to 1.09 times the bound where height 8
// gives 1.20 to 1.18.
constexpr uint8_t kSecondVersion = 2;
constexpr uint8_t kFourthVersion = 4;
static_assert(kFourthVersion + 1 == kSealedPictureVersion);
static_assert(!IsJpeg(kFirstVersion) && !IsJpeg(kSecondVersion) && !IsJpeg(kFourthVersion) &&
              !IsJpeg(kSealedPictureVersion));
struct ContentCode {
    int height;
    size_t block;
    int polarLog = 0;
};

ContentCode ContentCodeOf(uint8_t version, uint64_t count) {
    constexpr uint64_t kLongBlock = uint64_t{1} << 18;
    if (IsJpeg(version) && count <= kLongBlock) return {14, stc::kBlock};
    if (version == kFourthVersion || version == kSealedPictureVersion) {
        if (count <= 2 * kLongBlock) return {15, kLongBlock};
        if (count <= 4 * kLongBlock) return {14, kLongBlock};
        if (count <= 8 * kLongBlock) return {13, kLongBlock};
    }
    if (version == kSealedPictureVersion || (version == kSealedJpegVersion && count > 8 * kLongBlock))
        return {stc::kHeight, stc::kBlock, polar::kMostLog};
    return {stc::kHeight, stc::kBlock};
}

// With `direct`, a JPEG's front goes an element a bit.
int SealOnce(SealedCarrier& carrier, uint8_t version, const Passphrase& passphrase,
             const SealedRecord& record, const SealOptions& options, const uint8_t* salt,
             bool direct) {
    const uint64_t size = carrier.size();
    const uint64_t contentBytes = record.bytes.size() + kTagBytes;
    const bool jpeg = IsJpeg(version);
    const SealedLayout layout =
        SealedLayoutOf(version, size, jpeg && !direct ? FrontSpread(size, contentBytes) : 1);
    if (!AllowedDerivation(options.passes, options.memoryLog2MiB) || contentBytes > UINT32_MAX ||
        layout.content == 0 || 8 * contentBytes > stc::MaxBits(layout.content) ||
        version <= kFirstVersion)
        return kPixErrParam;
    if (size > UINT32_MAX) return kPixErrMemory;  // positions are kept in 32 bits

    Keys keys;
    if (!DeriveHeaderKeys(passphrase, salt, &keys) ||
        !DeriveContentKey(passphrase, salt, options.passes, options.memoryLog2MiB, &keys))
        return kPixErrMemory;

    uint8_t header[kHeader2PlainBytes] = {
        version,
        static_cast<uint8_t>(options.passes),
        static_cast<uint8_t>(options.memoryLog2MiB),
        static_cast<uint8_t>((record.compressed ? kCompressedFlag : 0) |
                             (record.entries ? kEntriesFlag : 0)),
        static_cast<uint8_t>(contentBytes),
        static_cast<uint8_t>(contentBytes >> 8),
        static_cast<uint8_t>(contentBytes >> 16),
        static_cast<uint8_t>(contentBytes >> 24)};
    // The content is bound to the header's first part: the split is known
    // only once the content is coded.
    std::vector<uint8_t> content;
    if (!Resize(&content, static_cast<size_t>(contentBytes))) return kPixErrMemory;
    crypto_aead_xchacha20poly1305_ietf_encrypt(content.data(), nullptr, record.bytes.data(),
                                               record.bytes.size(), header, kHeaderPlainBytes,
                                               nullptr, kZeroNonce, keys.content);

    Buffer<float> costs;
    if (!costs.Reset(size, true) || !carrier.Costs(costs.data())) return kPixErrMemory;
    PackLows(carrier, costs.data());
    const std::vector<uint64_t> saltPositions = SaltPositions(size, layout.salt);
    KeyedPositions positions(size, keys.positions, saltPositions);
    Coded saltCoded, head, body;
    if (!Gather(carrier, positions, layout.header, costs.data(), &head) ||
        !GatherRest(carrier, positions, layout.content, costs.data(), &body) ||
        !GatherListed(carrier, saltPositions, costs.data(), &saltCoded))
        return kPixErrMemory;
    costs = {};

    uint16_t share = 0;
    if (jpeg) OffsetLows(keys.embed, kContentOffsets, &body.low);
    Buffer<uint8_t> before;
    if (!before.Reset(body.low.size())) return kPixErrMemory;
    std::copy(body.low.begin(), body.low.end(), before.begin());
    const ContentCode code = ContentCodeOf(version, body.low.size());
    if (!stc::Embed({body.low.data(), body.cost.data(), body.low.size()}, content.data(),
                    8 * contentBytes, &share, code.height, 0, code.block, code.polarLog))
        return kSealedNoWay;

    // The header in its region, where changing costs least.
    PutLE16(header + kHeaderPlainBytes, share);
    uint8_t sealedHeader[kHeader2Bytes];
    crypto_aead_xchacha20poly1305_ietf_encrypt(sealedHeader, nullptr, header, sizeof header, nullptr,
                                               0, nullptr, kZeroNonce, keys.header);
    // Header and salt first, undone if either finds no way: the content's
    // changes are made only once both are in.
    Directions directions(keys.embed);
    UndoableCarrier regions(carrier);
    bool placed;
    if (jpeg) {
        uint8_t front[kFrontBytes];
        std::memcpy(front, salt, kSaltBytes);
        std::memcpy(front + kSaltBytes, sealedHeader, kHeader2Bytes);
        placed = PutRegion(regions, saltCoded, front, kFrontBytes,
                           CodeOf(version, layout.salt, 8 * kFrontBytes), PublicOffsetKey(),
                           kFrontOffsets, directions);
    } else {
        placed = PutRegion(regions, head, sealedHeader, sizeof sealedHeader,
                           CodeOf(version, layout.header, 8 * kHeader2Bytes), nullptr,
                           kFrontOffsets, directions) &&
                 PutRegion(regions, saltCoded, salt, kSaltBytes,
                           CodeOf(version, layout.salt, kSaltBits), nullptr, kFrontOffsets,
                           directions);
    }
    if (!placed) {
        regions.Undo();
        return kRegionNoWay;
    }
    // The changes listed a stretch at a time, then made with each sample
    // asked of memory ahead: they fall at random over the picture, and one
    // at a time each waited on its miss.
    constexpr size_t kAhead = 16;
    uint32_t changed[4096];
    for (size_t from = 0; from < body.at.size();) {
        size_t n = 0;
        for (; from < body.at.size() && n < std::size(changed); ++from)
            if (body.low[from] != before[from]) changed[n++] = static_cast<uint32_t>(from);
        for (size_t c = 0; c < n; ++c) {
            if (c + kAhead < n) __builtin_prefetch(carrier.Address(body.at[changed[c + kAhead]]));
            const size_t i = changed[c];
            const unsigned step = (body.low[i] - before[i]) & 3;  // +1 or -1
            carrier.Change(body.at[i], step == 1 ? 1 : -1);
        }
    }
    return 0;
}

}  // namespace

int SealInto(SealedCarrier& carrier, uint8_t version, const Passphrase& passphrase,
             const SealedRecord& record, const SealOptions& options) {
    if (!SodiumReady()) return kPixErrMemory;
    // Where many elements can move one way only (a JPEG's 1s and -1s), the
    // code now and then finds no way through a stretch of them: a JPEG's
    // front at the split fixed beforehand, or a large content. Another salt
    // places everything anew. The last try (the second with a salt given)
    // writes a JPEG's front an element a bit.
    uint8_t salt[kSaltBytes];
    constexpr int kTries = 5;
    for (int tries = 1;; ++tries) {
        if (options.salt != nullptr)
            std::memcpy(salt, options.salt, sizeof salt);
        else
            randombytes_buf(salt, sizeof salt);
        const bool last = tries == (options.salt != nullptr ? 2 : kTries);
        const int code = SealOnce(carrier, version, passphrase, record, options, salt, last);
        if (code != kRegionNoWay && code != kSealedNoWay) return code;
        if (last) return kSealedNoWay;
        // Polar blocks find a way around forbidden changes less often than
        // the trellis: near the capacity, the next tries take the last
        // version's code.
        if (code == kSealedNoWay && version == kSealedPictureVersion) version = kFourthVersion;
        if (code == kSealedNoWay && version == kSealedJpegVersion) version = kThirdVersion;
    }
}

int SealRecord(uint8_t* pixels, uint32_t width, uint32_t height, const Passphrase& passphrase,
               const SealedRecord& record, const SealOptions& options) {
    const uint8_t version = options.pictureVersion ? options.pictureVersion : kFormatVersion;
    if (version != kFormatVersion && version != kFourthVersion) return kPixErrParam;
    PictureCarrier carrier(pixels, width, height, AllGrey(pixels, uint64_t{width} * height));
    return SealInto(carrier, version, passphrase, record, options);
}

bool InflateData(const UnsealedFile& file,
                 const std::function<bool(const uint8_t*, size_t)>& sink) {
    const unsigned long long size = ZSTD_getFrameContentSize(file.frame.data(), file.frame.size());
    std::unique_ptr<ZSTD_DCtx, DCtxFree> context(ZSTD_createDCtx());
    std::vector<uint8_t> chunk;
    if (!context || !Resize(&chunk, ZSTD_DStreamOutSize())) return false;
    ZSTD_inBuffer in{file.frame.data(), file.frame.size(), 0};
    uint64_t made = 0;
    for (bool ended = false; !ended;) {
        ZSTD_outBuffer out{chunk.data(), chunk.size(), 0};
        if (!InflateSome(context.get(), &in, &out, &ended)) return false;
        if (made + out.pos > size) return false;  // more than the frame said
        const uint64_t skip = made < file.skip ? std::min<uint64_t>(file.skip - made, out.pos) : 0;
        made += out.pos;
        if (out.pos > skip && !sink(chunk.data() + skip, out.pos - skip)) return false;
        if (!ended && out.pos == 0) return false;
    }
    return made == size && in.pos == in.size;
}

namespace {

// A header that opened under the header key, and where its content lies.
struct OpenedHeader {
    uint8_t version = 0;
    uint8_t plain[kHeader2PlainBytes] = {};
    size_t plainBytes = 0;  // of which the content is bound to the first 8
    uint16_t share = 0;
};

// The header in version 1's place (a bit a sample after the salt).
bool OpenFirstHeader(const SealedCarrier& carrier, const Keys& keys, KeyedPositions& walk,
                     OpenedHeader* header) {
    uint8_t sealed[kHeaderBytes];
    GetBytes(carrier, sealed, kHeaderBytes, walk);
    if (crypto_aead_xchacha20poly1305_ietf_decrypt(header->plain, nullptr, nullptr, sealed,
                                                   kHeaderBytes, nullptr, 0, kZeroNonce,
                                                   keys.header) != 0)
        return false;
    header->version = kFirstVersion;
    header->plainBytes = kHeaderPlainBytes;
    return true;
}

// A sealed header, opened under the header key.
bool OpenSealedHeader(const uint8_t* sealed, const Keys& keys, OpenedHeader* header) {
    if (crypto_aead_xchacha20poly1305_ietf_decrypt(header->plain, nullptr, nullptr, sealed,
                                                   kHeader2Bytes, nullptr, 0, kZeroNonce,
                                                   keys.header) != 0)
        return false;
    header->version = header->plain[0];
    header->plainBytes = kHeader2PlainBytes;
    header->share = GetLE16(header->plain + kHeaderPlainBytes);
    return true;
}

// A JPEG's front at each spread an encoder may choose: the salt, the keys
// it gives, and the header they open, with the layout and the positions
// after the front's. False with *code set when memory ran out.
bool OpenFront(const SealedCarrier& carrier, const Passphrase& passphrase, uint8_t* salt,
               Keys* keys, OpenedHeader* header, SealedLayout* layout,
               std::optional<KeyedPositions>* walk, int* code) {
    const uint64_t size = carrier.size();
    for (const unsigned spread : kFrontSpreads) {
        const SealedLayout tried = SealedLayoutOf(kSealedJpegVersion, size, spread);
        if (tried.content < kLeastContentBits) continue;
        const std::vector<uint64_t> positions = SaltPositions(size, tried.salt);
        Coded front;
        if (!GatherListed(carrier, positions, nullptr, &front)) {
            *code = kPixErrMemory;
            return false;
        }
        uint8_t bytes[kFrontBytes];
        GetRegion(front, bytes, sizeof bytes, CodeOf(kSealedJpegVersion, tried.salt, 8 * sizeof bytes),
                  PublicOffsetKey(), kFrontOffsets);
        std::memcpy(salt, bytes, kSaltBytes);
        if (!DeriveHeaderKeys(passphrase, salt, keys)) {
            *code = kPixErrMemory;
            return false;
        }
        if (OpenSealedHeader(bytes + kSaltBytes, *keys, header)) {
            *layout = tried;
            walk->emplace(size, keys->positions, positions);
            return true;
        }
    }
    return false;
}

// A picture's header coded in the first `count` positions `walk` gives.
bool OpenHeader(const SealedCarrier& carrier, const Keys& keys, KeyedPositions& walk,
                uint64_t count, OpenedHeader* header) {
    uint8_t sealed[kHeader2Bytes];
    Coded head;
    if (!Gather(carrier, walk, count, nullptr, &head)) return false;
    GetRegion(head, sealed, sizeof sealed, CodeOf(kSealedPictureVersion, count, 8 * sizeof sealed),
              nullptr, kFrontOffsets);
    return OpenSealedHeader(sealed, keys, header);
}

// A sealed file of `version` read back from the carrier; with `first`,
// version 1's layout is tried as well. *opened tells whether a header
// opened: when none did, another reading of the carrier may yet.
UnsealedFile Unseal(const SealedCarrier& carrier, uint8_t version, bool first,
                    const Passphrase& passphrase, UnsealSteps* steps, bool headerOnly,
                    bool keepFrame, bool* opened) {
    UnsealedFile file;
    *opened = false;
    file.message = kSealedFailedMessage;
    const uint64_t size = carrier.size();
    SealedLayout layout = SealedLayoutOf(version, size);
    // Too small for the least a sealed file takes: nothing to derive a key for.
    const bool fits = layout.content >= kLeastContentBits;
    if (!(fits || (first && size / 8 >= FirstVersionBytes(1))) || size > UINT32_MAX) return file;
    uint8_t salt[kSaltBytes];
    Keys keys;
    std::optional<KeyedPositions> walk, firstWalk;
    OpenedHeader header;
    if (IsJpeg(version)) {
        if (!OpenFront(carrier, passphrase, salt, &keys, &header, &layout, &walk, &file.code))
            return file;
    } else {
        const std::vector<uint64_t> saltPositions = SaltPositions(size, layout.salt);
        Coded saltCoded;
        if (!GatherListed(carrier, saltPositions, nullptr, &saltCoded)) {
            file.code = kPixErrMemory;
            return file;
        }
        GetRegion(saltCoded, salt, sizeof salt, CodeOf(version, layout.salt, kSaltBits), nullptr,
                  kFrontOffsets);
        if (!DeriveHeaderKeys(passphrase, salt, &keys)) {
            file.code = kPixErrMemory;
            return file;
        }
        firstWalk.emplace(size, keys.positions, saltPositions);
        if (!first || !OpenFirstHeader(carrier, keys, *firstWalk, &header)) {
            if (!fits) return file;  // version 1's room only: the walk would run out
            walk.emplace(size, keys.positions, saltPositions);
            if (!OpenHeader(carrier, keys, *walk, layout.header, &header)) return file;
        }
    }
    *opened = true;

    // Authentic from here on, yet still only claims: a peer who knows the
    // passphrase can write any header.
    const uint8_t* plain = header.plain;
    // A picture's header may be version 2's or 4's, a JPEG's version 3's,
    // which have the same layout.
    const uint8_t expected = header.version == kFirstVersion ? kFirstVersion : version;
    const bool older =
        header.version != kFirstVersion &&
        ((version == kSealedPictureVersion &&
          (plain[0] == kSecondVersion || plain[0] == kFourthVersion)) ||
         (version == kSealedJpegVersion && plain[0] == kThirdVersion));
    if (plain[0] != expected && !older) {
        file.message = plain[0] > expected ? kSealedNewerMessage : kInvalidFileMessage;
        return file;
    }
    file.message = kInvalidFileMessage;
    const unsigned passes = plain[1], memoryLog2MiB = plain[2], flags = plain[3];
    const uint64_t contentBytes = GetLE32(plain + 4);
    const bool room = header.version == kFirstVersion
                          ? FirstVersionBytes(contentBytes - kTagBytes) <= size / 8
                          : 8 * contentBytes <= stc::MaxBits(layout.content);
    if (!AllowedDerivation(passes, memoryLog2MiB) || (flags & ~unsigned{kCompressedFlag | kEntriesFlag}) != 0 ||
        contentBytes <= kTagBytes || !room)
        return file;
    if (steps) steps->HeaderOpened();
    if (headerOnly) {
        file.message = nullptr;
        return file;
    }

    if (!DeriveContentKey(passphrase, salt, passes, memoryLog2MiB, &keys)) {
        file.code = kPixErrMemory;
        return file;
    }
    if (steps) steps->Decoding();
    std::vector<uint8_t> content, record;
    if (!Resize(&content, static_cast<size_t>(contentBytes)) ||
        !Resize(&record, static_cast<size_t>(contentBytes - kTagBytes))) {
        file.code = kPixErrMemory;
        return file;
    }
    if (header.version == kFirstVersion) {
        GetBytes(carrier, content.data(), content.size(), *firstWalk);
    } else {
        Coded body;
        if (!GatherRest(carrier, *walk, layout.content, nullptr, &body)) {
            file.code = kPixErrMemory;
            return file;
        }
        if (IsJpeg(version)) OffsetLows(keys.embed, kContentOffsets, &body.low);
        const ContentCode code = ContentCodeOf(header.version, body.low.size());
        stc::Extract(body.low.data(), body.low.size(), 8 * contentBytes, header.share,
                     content.data(), code.height, code.block, code.polarLog);
    }
    if (crypto_aead_xchacha20poly1305_ietf_decrypt(record.data(), nullptr, nullptr, content.data(),
                                                   content.size(), plain, kHeaderPlainBytes,
                                                   kZeroNonce, keys.content) != 0) {
        file.message = kSealedFailedMessage;
        return file;
    }
    file.entries = (flags & kEntriesFlag) != 0;
    if (flags & kCompressedFlag) {
        file.message = OpenFrame(std::move(record), &file);
        if (file.message == nullptr && file.code == 0 && !keepFrame) InflateWhole(&file);
        return file;
    }
    file.message = SplitRecord(std::move(record), &file);
    return file;
}

}  // namespace

UnsealedFile UnsealFrom(const SealedCarrier& carrier, uint8_t version, const Passphrase& passphrase,
                        UnsealSteps* steps, bool headerOnly, bool keepFrame) {
    if (!SodiumReady()) {
        UnsealedFile file;
        file.code = kPixErrMemory;
        return file;
    }
    bool opened = false;
    return Unseal(carrier, version, false, passphrase, steps, headerOnly, keepFrame, &opened);
}

UnsealedFile UnsealFile(const uint8_t* pixels, uint64_t pixelCount, const Passphrase& passphrase,
                        UnsealSteps* steps, bool headerOnly, bool keepFrame) {
    UnsealedFile file;
    if (!SodiumReady()) {
        file.code = kPixErrMemory;
        return file;
    }
    file.message = kSealedFailedMessage;
    if (pixelCount > kPixMaxPixels) return file;
    // A grey carrier is read in its grey levels first; a colour one, or a
    // grey one that is not, in its colour samples. The carrier only reads.
    for (const bool grey : {true, false}) {
        if (grey && !AllGrey(pixels, pixelCount)) continue;
        const PictureCarrier carrier(pixels, static_cast<uint32_t>(pixelCount), 1, grey);
        bool opened = false;
        file = Unseal(carrier, kFormatVersion, true, passphrase, steps, headerOnly, keepFrame,
                      &opened);
        if (opened || file.code != 0) return file;
    }
    return file;
}
