// SPDX-License-Identifier: GPL-3.0-or-later
#include "imagelib/pcx.h"

#include <sys/types.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <tmmintrin.h>
#endif

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>

#include "imagelib/common.h"

namespace {

constexpr size_t kHeaderSize = 128;
constexpr uint8_t kManufacturer = 10;
constexpr uint8_t kRunMarker = 0xC0;  // both top bits set: low six bits count the run
constexpr unsigned kMaxRun = 63;
constexpr uint8_t kPaletteMarker = 12;
constexpr size_t kPaletteTail = 1 + 256 * 3;  // marker and 256 red, green, blue
constexpr size_t kInputChunk = size_t{1} << 18;
constexpr size_t kOutputChunk = size_t{1} << 20;
constexpr size_t kBlock = 16;   // bytes loaded and stored at once
constexpr size_t kWindow = 64;  // bytes whose tokens are found at once
// A window is decoded when its bytes, and the block its last copy may load
// from a byte past it, are in the input.
constexpr size_t kFastInput = kWindow + 2 * kBlock;
// Room a decoding step may store into: a window of literals, then a run.
constexpr size_t kLineSlack = 2 * kWindow;
constexpr unsigned kShortRunsRest = 8;
constexpr uint32_t kMaxWriteWidth = 65534;  // rounded up to even it must fit 16 bits
constexpr uint32_t kMaxWriteHeight = 65535;

// Header fields, by offset.
//   0 manufacturer  1 version  2 encoding  3 bits per pixel per plane
//   4 xmin  6 ymin  8 xmax  10 ymax (signed)  12 hres  14 vres
//   16 palette 16 x rgb  64 reserved  65 planes  66 bytes per line
//   68 palette info  70..127 filler
struct PcxHeader {
    uint8_t raw[kHeaderSize] = {};
    uint8_t version = 0;
    unsigned bitsPerPixel = 0;
    unsigned planes = 0;
    unsigned depth = 0;  // bits per pixel x planes
    uint32_t width = 0, height = 0;
    size_t bytesPerLine = 0;
    size_t lineBytes = 0;  // planes x bytes per line
};

#if defined(__x86_64__)
const bool kHaveShuffle = __builtin_cpu_supports("ssse3");
#endif

using Scratch = std::unique_ptr<uint8_t[]>;

Scratch NewScratch(size_t bytes) {
    return Scratch(new (std::nothrow) uint8_t[bytes]);
}

bool IsSupportedLayout(unsigned bits, unsigned planes) {
    if (planes == 1) return bits == 1 || bits == 2 || bits == 4 || bits == 8;
    if (bits == 1) return planes == 2 || planes == 4;
    return bits == 8 && planes == 3;
}

// Reads and checks the header: fields are claims until the scan line is
// known to hold the width at its depth (a short one would be indexed past).
int ReadHeader(std::FILE* file, PcxHeader* h) {
    if (std::fread(h->raw, 1, kHeaderSize, file) != kHeaderSize) return kPixErrPcx;
    const uint8_t* raw = h->raw;
    h->version = raw[1];
    if (raw[0] != kManufacturer) return kPixErrPcx;
    if (h->version == 1 || h->version == 4 || h->version >= 6) return kPixErrPcx;
    h->bitsPerPixel = raw[3];
    h->planes = raw[65];
    if (!IsSupportedLayout(h->bitsPerPixel, h->planes)) return kPixErrPcx;
    h->depth = h->bitsPerPixel * h->planes;
    // The format does its size arithmetic in 16 bits; a negative extent wraps.
    h->width = static_cast<uint16_t>(GetLE16(raw + 8) - GetLE16(raw + 4) + 1);
    h->height = static_cast<uint16_t>(GetLE16(raw + 10) - GetLE16(raw + 6) + 1);
    h->bytesPerLine = GetLE16(raw + 66);
    if (h->width == 0 || h->height == 0) return kPixErrPcx;
    if (uint64_t{h->bytesPerLine} * 8 < uint64_t{h->width} * h->bitsPerPixel) return kPixErrPcx;
    h->lineBytes = h->bytesPerLine * h->planes;
    return 0;
}

struct PcxReader {
    std::FILE* file = nullptr;  // borrowed
    PcxHeader header;
    uint64_t fileSize = 0;
    std::array<uint8_t, 256 * 3> colours{};  // red, green, blue
    Scratch input;
    size_t pos = 0, end = 0;
};

int OpenReader(std::FILE* file, PcxReader* r) {
    r->file = file;
    if (const int rc = ReadHeader(file, &r->header)) return rc;
    if (fseeko(file, 0, SEEK_END) != 0) return kPixErrPcx;
    const off_t size = ftello(file);
    if (size < 0) return kPixErrPcx;
    r->fileSize = static_cast<uint64_t>(size);
    return 0;
}

// The rows to be read cannot be more than the data could describe: every
// scan line takes at least one byte per 63 bytes it produces.
bool DataCanFill(const PcxReader& r, uint32_t rows) {
    const uint64_t perLine = (r.header.lineBytes + kMaxRun - 1) / kMaxRun;
    if (r.fileSize < kHeaderSize) return false;
    return uint64_t{rows} * perLine <= r.fileSize - kHeaderSize;
}

int BuildColours(PcxReader* r) {
    const PcxHeader& h = r->header;
    for (unsigned i = 0; i < 256; ++i) std::memset(&r->colours[i * 3], static_cast<int>(i), 3);
    if (h.depth == 8 && h.version == 5 && r->fileSize >= kPaletteTail) {
        uint8_t tail[kPaletteTail];
        if (fseeko(r->file, static_cast<off_t>(r->fileSize - kPaletteTail), SEEK_SET) != 0 ||
            std::fread(tail, 1, kPaletteTail, r->file) != kPaletteTail) {
            return kPixErrPcx;
        }
        if (tail[0] == kPaletteMarker) std::memcpy(r->colours.data(), tail + 1, 768);
    }
    if (h.depth < 8) {
        const size_t entries = size_t{1} << h.depth;
        std::memcpy(r->colours.data(), h.raw + 16, entries * 3);
        // Some writers leave the header palette of 1-bit files black; read
        // that as black and white, as other readers do.
        const uint8_t* pair = h.raw + 16;
        if (h.depth == 1 && std::all_of(pair, pair + 6, [](uint8_t b) { return b == 0; })) {
            std::memset(&r->colours[3], 255, 3);
        }
    }
    return 0;
}

int StartData(PcxReader* r) {
    r->input = NewScratch(kInputChunk);
    if (!r->input) return kPixErrMemory;
    r->pos = r->end = 0;
    return fseeko(r->file, kHeaderSize, SEEK_SET) == 0 ? 0 : kPixErrPcx;
}

// Makes at least `want` unread bytes available unless the file ends first.
bool Fill(PcxReader* r, size_t want) {
    while (r->end - r->pos < want) {
        const size_t left = r->end - r->pos;
        std::memmove(r->input.get(), r->input.get() + r->pos, left);
        r->pos = 0;
        r->end = left;
        const size_t got = std::fread(r->input.get() + left, 1, kInputChunk - left, r->file);
        if (got == 0) return false;
        r->end += got;
    }
    return true;
}

#if defined(__SSE2__)
using Block = __m128i;

inline Block LoadBlock(const uint8_t* from) {
    return _mm_loadu_si128(reinterpret_cast<const Block*>(from));
}
inline void StoreBlock(uint8_t* to, Block block) {
    _mm_storeu_si128(reinterpret_cast<Block*>(to), block);
}

// One bit per byte of the window at `from`: set where the byte is at least
// `floor`.
inline uint64_t AtLeastMask(const uint8_t* from, uint8_t floor) {
    const Block limit = _mm_set1_epi8(static_cast<char>(floor));
    uint64_t mask = 0;
    for (size_t k = 0; k < kWindow; k += kBlock) {
        const Block block = LoadBlock(from + k);
        const Block at = _mm_cmpeq_epi8(_mm_max_epu8(block, limit), block);
        mask |= uint64_t{static_cast<uint16_t>(_mm_movemask_epi8(at))} << k;
    }
    return mask;
}

// Each byte value sixteen times over: a run's fill is one load.
struct Fills {
    alignas(kBlock) uint8_t bytes[256][kBlock];
};
constexpr Fills kFills = [] {
    Fills t{};
    for (unsigned v = 0; v < 256; ++v) {
        for (uint8_t& b : t.bytes[v]) b = static_cast<uint8_t>(v);
    }
    return t;
}();

// Copies `count` (at most a window) bytes a block at a time: both sides need
// a block of room past `count`.
inline void CopyBlocks(uint8_t* to, const uint8_t* from, size_t count) {
    StoreBlock(to, LoadBlock(from));
    for (size_t k = kBlock; k < count; k += kBlock) StoreBlock(to + k, LoadBlock(from + k));
}

// The run markers among the bytes of a window that starts on a token. A
// stretch of marker-range bytes is marker, value, marker, ... from its start
// (a stretch always starts on a token), so markers are the bits with the
// parity of their stretch's start.
inline uint64_t RunMarkers(uint64_t high) {
    constexpr uint64_t kEven = 0x5555555555555555u;
    const uint64_t starts = high & ~(high << 1);
    // Adding a stretch's start bit carries through the stretch and clears it.
    const uint64_t evenStretches = high & ~(high + (starts & kEven));
    const uint64_t oddStretches = high & ~evenStretches;
    return (evenStretches & kEven) | (oddStretches & ~kEven);
}
#endif

#if defined(__x86_64__)
// For each 8-bit mask, the lanes 0-7 whose bit is clear, in order, offset
// by `base`, and how many there are.
struct PackShuffles {
    uint8_t lanes[256][8];
    uint8_t kept[256];
};

constexpr PackShuffles MakePackShuffles(uint8_t base) {
    PackShuffles t{};
    for (unsigned mask = 0; mask < 256; ++mask) {
        uint8_t kept = 0;
        for (uint8_t lane = 0; lane < 8; ++lane) {
            if ((mask >> lane & 1) == 0) t.lanes[mask][kept++] = static_cast<uint8_t>(base + lane);
        }
        for (uint8_t rest = kept; rest < 8; ++rest) t.lanes[mask][rest] = 0x80;
        t.kept[mask] = kept;
    }
    return t;
}

constexpr PackShuffles kPackLow = MakePackShuffles(0);
constexpr PackShuffles kPackHigh = MakePackShuffles(8);

// Decodes the blocks of a window (see DecodeFast) while every run in them
// has a count of 1 or 2, as in grainy pictures nearly all do. A run of 2
// becomes its value in the marker's place and a run of 1 drops its marker;
// either way the value byte then stands for itself. Stores up to a block
// past the bytes produced. Returns the window bytes consumed, ending on a
// token.
__attribute__((target("ssse3"))) size_t DecodeShortRuns(const uint8_t* in, uint64_t markers,
                                                        uint8_t** output) {
    const __m128i one = _mm_set1_epi8(static_cast<char>(kRunMarker + 1));
    const __m128i two = _mm_set1_epi8(static_cast<char>(kRunMarker + 2));
    const __m128i laneBits = _mm_set1_epi64x(static_cast<int64_t>(0x8040201008040201u));
    const __m128i spread = _mm_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1);
    uint8_t* out = *output;
    size_t k = 0;
    for (; k < kWindow; k += kBlock) {
        const unsigned here = static_cast<unsigned>(markers >> k) & 0xFFFF;
        const __m128i block = LoadBlock(in + k);
        const unsigned ones =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, one))) & here;
        const unsigned twos =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, two))) & here;
        if ((ones | twos) != here) break;
        // The twos as a byte mask: each lane tests its bit of the mask.
        const __m128i twoBits = _mm_and_si128(
            _mm_shuffle_epi8(_mm_cvtsi32_si128(static_cast<int>(twos)), spread), laneBits);
        const __m128i twoLanes = _mm_cmpeq_epi8(twoBits, laneBits);
        const __m128i filled = _mm_or_si128(_mm_and_si128(twoLanes, LoadBlock(in + k + 1)),
                                            _mm_andnot_si128(twoLanes, block));
        const unsigned low = ones & 0xFF, high = ones >> 8;
        const __m128i pack = _mm_unpacklo_epi64(
            _mm_loadl_epi64(reinterpret_cast<const __m128i*>(kPackLow.lanes[low])),
            _mm_loadl_epi64(reinterpret_cast<const __m128i*>(kPackHigh.lanes[high])));
        const __m128i packed = _mm_shuffle_epi8(filled, pack);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out), packed);
        out += kPackLow.kept[low];
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_unpackhi_epi64(packed, packed));
        out += kPackHigh.kept[high];
    }
    // A run whose marker ends the last block done still owes its value.
    if (k != 0 && (markers >> (k - 1) & 1) != 0) *out++ = in[k++];
    *output = out;
    return k;
}
#endif

// Decodes as much of a scan line as can be done a window at a time: while
// the window and the bytes its copies reach are in the input, and every step
// (a window's literals and a longest run) has room before the line end, so
// that no run can reach the line end and every store stays inside the line.
void DecodeFast(const uint8_t** input, const uint8_t* inEnd, uint8_t* line, size_t* at,
                size_t length) {
    const uint8_t* in = *input;
    size_t out = *at;
#if defined(__SSE2__)
    if (length < kLineSlack) return;
    const size_t last = length - kLineSlack;  // the last start with room for a step
    unsigned shortRunsRest = 0;               // windows before the short-run pass is tried again
    while (out <= last && inEnd - in >= static_cast<ptrdiff_t>(kFastInput)) {
        uint64_t markers = RunMarkers(AtLeastMask(in, kRunMarker));
        size_t pos = 0;  // the next token in the window
#if defined(__x86_64__)
        // Where longer runs are common the short-run pass rarely gets past
        // its first block: after a miss it rests for a few windows.
        if (kHaveShuffle && markers != 0 && shortRunsRest-- == 0) {
            uint8_t* to = line + out;
            pos = DecodeShortRuns(in, markers, &to);
            out = static_cast<size_t>(to - line);
            markers = pos < kWindow ? markers & (~uint64_t{0} << pos) : 0;
            shortRunsRest = pos == 0 ? kShortRunsRest : 0;
        }
#endif
        // Checked after each run rather than with `markers`: one test a run.
        if (out > last) markers = 0;
        while (markers != 0) {
            const size_t next = static_cast<unsigned>(__builtin_ctzll(markers));
            const size_t literals = next - pos;  // before the run
            StoreBlock(line + out, LoadBlock(in + pos));
            if (literals > kBlock) [[unlikely]] {
                CopyBlocks(line + out + kBlock, in + pos + kBlock, literals - kBlock);
            }
            out += literals;
            const unsigned marker = in[next];
            const Block fill = LoadBlock(kFills.bytes[in[next + 1]]);
            StoreBlock(line + out, fill);
            StoreBlock(line + out + 16, fill);
            if (marker > kRunMarker + 2 * kBlock) [[unlikely]] {
                StoreBlock(line + out + 32, fill);
                StoreBlock(line + out + 48, fill);
            }
            out += marker - kRunMarker;
            pos = next + 2;
            markers &= markers - 1;
            if (out > last) [[unlikely]]
                break;
        }
        if (markers != 0 || out > last) {  // the line end is near: leave the rest to the caller
            in += pos;
            break;
        }
        if (pos < kWindow) {  // literals to the window end
            CopyBlocks(line + out, in + pos, kWindow - pos);
            out += kWindow - pos;
            pos = kWindow;
        }
        in += pos;
    }
#else
    while (out + kMaxRun + 1 <= length && inEnd - in >= 2) {
        const uint8_t v = in[0];
        const bool run = v >= kRunMarker;
        const size_t count = run ? (v & kMaxRun) : 1;
        const uint8_t value = run ? in[1] : v;
        in += 1 + run;
        line[out] = value;  // harmless for an empty run: out < length
        if (count > 1) std::memset(line + out + 1, value, count - 1);
        out += count;
    }
#endif
    *input = in;
    *at = out;
}

// Stores `count` copies of `value` at `to`, where `room` bytes are the
// line's: a block at a time where a longest run's blocks fit.
inline void FillRun(uint8_t* to, uint8_t value, size_t count, [[maybe_unused]] size_t room) {
#if defined(__SSE2__)
    if (room >= kWindow) {
        const Block fill = LoadBlock(kFills.bytes[value]);
        StoreBlock(to, fill);
        if (count > kBlock) [[unlikely]] {
            StoreBlock(to + 16, fill);
            StoreBlock(to + 32, fill);
            StoreBlock(to + 48, fill);
        }
        return;
    }
#endif
    std::memset(to, value, count);
}

// Decodes one scan line into `line`. A run that reaches past the line end is
// cut there; the rest of it is dropped, not carried into the next line.
bool ReadScanLine(PcxReader* r, uint8_t* line) {
    const size_t length = r->header.lineBytes;
    size_t out = 0;
    while (out < length) {
        Fill(r, kFastInput);  // may come up short at the end of the file
        const uint8_t* in = r->input.get() + r->pos;
        const uint8_t* end = r->input.get() + r->end;
        DecodeFast(&in, end, line, &out, length);
        // The line end or the end of the input is near: a token at a time
        // while a whole one is surely there.
        while (out < length && end - in >= 2) {
            size_t count = 1;
            uint8_t value = *in++;
            if (value >= kRunMarker) {
                count = value & kMaxRun;
                value = *in++;
            }
            count = std::min(count, length - out);
            FillRun(line + out, value, count, length - out);
            out += count;
        }
        r->pos = static_cast<size_t>(in - r->input.get());
        if (out == length) break;
        if (!Fill(r, 2)) {  // the file ends within a byte
            if (r->pos == r->end || r->input[r->pos] >= kRunMarker) return false;
            line[out++] = r->input[r->pos++];
        }
    }
    return true;
}

#if defined(__x86_64__)
// Byte shuffles between three planes of 16 bytes and the 16 RGB triples they
// make, 48 bytes in three blocks. lanes[j][c] moves bytes of plane c to or
// from triple block j; lanes of 0x80 clear.
struct TripleShuffles {
    uint8_t lanes[3][3][16];
};

constexpr TripleShuffles MakeTripleShuffles(bool toTriples) {
    TripleShuffles t{};
    for (auto& block : t.lanes) {
        for (auto& plane : block) {
            for (uint8_t& lane : plane) lane = 0x80;
        }
    }
    for (uint8_t x = 0; x < 16; ++x) {
        for (uint8_t c = 0; c < 3; ++c) {
            const uint8_t at = static_cast<uint8_t>(3 * x + c);
            if (toTriples) {
                t.lanes[at / 16][c][at % 16] = x;
            } else {
                t.lanes[at / 16][c][x] = at % 16;
            }
        }
    }
    return t;
}

constexpr TripleShuffles kToTriples = MakeTripleShuffles(true);
constexpr TripleShuffles kToPlanes = MakeTripleShuffles(false);

__attribute__((target("ssse3"))) inline __m128i Shuffle(__m128i bytes, const uint8_t* lanes) {
    return _mm_shuffle_epi8(bytes, _mm_loadu_si128(reinterpret_cast<const __m128i*>(lanes)));
}

// 16 pixels per step; returns the pixels done.
__attribute__((target("ssse3"))) uint32_t PlanesToTriplesShuffle(const uint8_t* const planes[3],
                                                                 uint32_t width, uint8_t* out) {
    uint32_t x = 0;
    for (; x + 16 <= width; x += 16, out += 48) {
        __m128i plane[3];
        for (int c = 0; c < 3; ++c) {
            plane[c] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(planes[c] + x));
        }
        for (int j = 0; j < 3; ++j) {
            const __m128i block =
                _mm_or_si128(_mm_or_si128(Shuffle(plane[0], kToTriples.lanes[j][0]),
                                          Shuffle(plane[1], kToTriples.lanes[j][1])),
                             Shuffle(plane[2], kToTriples.lanes[j][2]));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * j), block);
        }
    }
    return x;
}

__attribute__((target("ssse3"))) uint32_t TriplesToPlanesShuffle(const uint8_t* in, uint32_t width,
                                                                 uint8_t* const planes[3]) {
    uint32_t x = 0;
    for (; x + 16 <= width; x += 16, in += 48) {
        __m128i block[3];
        for (int j = 0; j < 3; ++j) {
            block[j] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 16 * j));
        }
        for (int c = 0; c < 3; ++c) {
            const __m128i plane =
                _mm_or_si128(_mm_or_si128(Shuffle(block[0], kToPlanes.lanes[0][c]),
                                          Shuffle(block[1], kToPlanes.lanes[1][c])),
                             Shuffle(block[2], kToPlanes.lanes[2][c]));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(planes[c] + x), plane);
        }
    }
    return x;
}

#endif

// Pixel x of the row is (red[x], green[x], blue[x]).
void PlanesToTriples(const uint8_t* const planes[3], uint32_t width, uint8_t* out) {
    uint32_t x = 0;
#if defined(__x86_64__)
    if (kHaveShuffle) x = PlanesToTriplesShuffle(planes, width, out);
#endif
    for (out += size_t{x} * 3; x < width; ++x, out += 3) {
        out[0] = planes[0][x];
        out[1] = planes[1][x];
        out[2] = planes[2][x];
    }
}

void TriplesToPlanes(const uint8_t* in, uint32_t width, uint8_t* const planes[3]) {
    uint32_t x = 0;
#if defined(__x86_64__)
    if (kHaveShuffle) x = TriplesToPlanesShuffle(in, width, planes);
#endif
    for (in += size_t{x} * 3; x < width; ++x, in += 3) {
        planes[0][x] = in[0];
        planes[1][x] = in[1];
        planes[2][x] = in[2];
    }
}

// Turns an indexed scan line into one index per pixel.
void SeparateIndices(const PcxHeader& h, const uint8_t* line, uint8_t* indices) {
    const uint32_t width = h.width;
    if (h.planes == 1) {
        if (h.bitsPerPixel == 8) {
            std::memcpy(indices, line, width);
            return;
        }
        const unsigned bits = h.bitsPerPixel;
        const unsigned perByte = 8 / bits;
        const unsigned mask = (1u << bits) - 1;
        for (uint32_t x = 0; x < width; ++x) {
            const unsigned shift = 8 - bits * (x % perByte + 1);  // most significant first
            indices[x] = static_cast<uint8_t>((line[x / perByte] >> shift) & mask);
        }
        return;
    }
    for (uint32_t x = 0; x < width; ++x) {
        unsigned index = 0;
        for (unsigned p = 0; p < h.planes; ++p) {
            const unsigned bit = (line[p * h.bytesPerLine + x / 8] >> (7 - x % 8)) & 1;
            index |= bit << p;
        }
        indices[x] = static_cast<uint8_t>(index);
    }
}

// Both readers decode the top `wanted` scan lines (all when there are
// fewer) and set *taken to their number; the size limit applies to the
// whole picture the header states.
int ReadRgb(std::FILE* file, uint32_t wanted, uint32_t* width, uint32_t* height, uint32_t* taken,
            HGLOBAL* result) {
    PcxReader r;
    if (const int rc = OpenReader(file, &r)) return rc;
    const PcxHeader& h = r.header;
    *width = h.width;
    *height = h.height;
    if (const int rc = BuildColours(&r)) return rc;
    size_t bytes = 0;
    if (!ImageBytes(h.width, h.height, 3, &bytes)) return kPixErrMemory;
    const uint32_t rows = std::min(wanted, h.height);
    bytes = size_t{h.width} * rows * 3;
    if (!DataCanFill(r, rows)) return kPixErrPcx;
    GlobalBlock pixels(bytes);  // size proven by ImageBytes
    Scratch line = NewScratch(h.lineBytes);
    Scratch indices = NewScratch(h.width);
    if (!pixels || !line || !indices) return kPixErrMemory;
    if (const int rc = StartData(&r)) return rc;

    const size_t stride = size_t{h.width} * 3;
    for (uint32_t y = 0; y < rows; ++y) {
        if (PixCancelled()) return kPixErrCancelled;
        if (!ReadScanLine(&r, line.get())) return kPixErrPcx;
        uint8_t* out = pixels.data() + y * stride;
        if (h.depth == 24) {
            const uint8_t* planes[3] = {line.get(), line.get() + h.bytesPerLine,
                                        line.get() + 2 * h.bytesPerLine};
            PlanesToTriples(planes, h.width, out);
        } else {
            SeparateIndices(h, line.get(), indices.get());
            for (uint32_t x = 0; x < h.width; ++x) {
                std::memcpy(out, &r.colours[indices[x] * 3], 3);
                out += 3;
            }
        }
    }
    *taken = rows;
    *result = pixels.release();
    return 0;
}

int ReadIndexed(std::FILE* file, uint32_t wanted, uint32_t* width, uint32_t* height,
                uint32_t* taken, RGBQUAD* palette, HGLOBAL* result) {
    PcxReader r;
    if (const int rc = OpenReader(file, &r)) return rc;
    const PcxHeader& h = r.header;
    if (h.depth > 8) return kPixErrDepth;
    *width = h.width;
    *height = h.height;
    if (const int rc = BuildColours(&r)) return rc;
    std::memset(palette, 0, sizeof(RGBQUAD) * kPixPaletteEntries);
    for (size_t i = 0; i < (size_t{1} << h.depth); ++i) {
        palette[i].rgbRed = r.colours[i * 3];
        palette[i].rgbGreen = r.colours[i * 3 + 1];
        palette[i].rgbBlue = r.colours[i * 3 + 2];
    }
    size_t bytes = 0;
    if (!ImageBytes(h.width, h.height, 1, &bytes)) return kPixErrMemory;
    const uint32_t rows = std::min(wanted, h.height);
    bytes = size_t{h.width} * rows;
    if (!DataCanFill(r, rows)) return kPixErrPcx;
    GlobalBlock pixels(bytes);  // size proven by ImageBytes
    Scratch line = NewScratch(h.lineBytes);
    if (!pixels || !line) return kPixErrMemory;
    if (const int rc = StartData(&r)) return rc;

    for (uint32_t y = 0; y < rows; ++y) {
        if (PixCancelled()) return kPixErrCancelled;
        uint8_t* row = pixels.data() + size_t{y} * h.width;
        // A line of one index a byte can go straight into its row while it
        // fits in the buffer; its pad spills into the row the next line fills.
        if (h.depth == 8 && bytes - size_t{y} * h.width >= h.lineBytes) {
            if (!ReadScanLine(&r, row)) return kPixErrPcx;
            continue;
        }
        if (!ReadScanLine(&r, line.get())) return kPixErrPcx;
        SeparateIndices(h, line.get(), row);
    }
    *taken = rows;
    *result = pixels.release();
    return 0;
}

// Appends one run to `out`. A lone byte below the marker range stands for
// itself; anything else takes a count byte, so a lone 200 becomes 193, 200.
size_t EmitRun(uint8_t* out, size_t at, unsigned count, uint8_t value) {
    if (count == 1 && value < kRunMarker) {
        out[at++] = value;
    } else {
        out[at++] = static_cast<uint8_t>(kRunMarker + count);
        out[at++] = value;
    }
    return at;
}

// Appends a stretch of `count` (>= 1) equal bytes as runs of at most 63.
size_t EmitStretch(uint8_t* out, size_t at, size_t count, uint8_t value) {
    for (; count > kMaxRun; count -= kMaxRun) {
        out[at++] = kRunMarker + kMaxRun;
        out[at++] = value;
    }
    return EmitRun(out, at, static_cast<unsigned>(count), value);
}

// Run-length codes `length` (>= 1) bytes a byte at a time; returns the bytes
// written.
size_t EncodeBytes(const uint8_t* plane, size_t length, uint8_t* out) {
    size_t at = 0;
    uint8_t value = plane[0];
    unsigned count = 1;
    for (size_t i = 1; i < length; ++i) {
        if (plane[i] == value) {
            if (++count == kMaxRun) {
                at = EmitRun(out, at, count, value);
                count = 0;
            }
        } else {
            if (count != 0) at = EmitRun(out, at, count, value);
            value = plane[i];
            count = 1;
        }
    }
    if (count != 0) at = EmitRun(out, at, count, value);
    return at;
}

#if defined(__SSE2__)
// One bit per byte of the window at `from`: set where the byte equals the
// one after it.
inline uint64_t RepeatMask(const uint8_t* from) {
    uint64_t mask = 0;
    for (size_t k = 0; k < kWindow; k += kBlock) {
        const Block same = _mm_cmpeq_epi8(LoadBlock(from + k), LoadBlock(from + k + 1));
        mask |= uint64_t{static_cast<uint16_t>(_mm_movemask_epi8(same))} << k;
    }
    return mask;
}

// The end of the stretch of bytes equal to plane[from], at most `length`.
size_t StretchEnd(const uint8_t* plane, size_t from, size_t length) {
    const uint8_t value = plane[from];
    const Block fill = _mm_set1_epi8(static_cast<char>(value));
    size_t end = from;
    while (length - end >= kBlock &&
           _mm_movemask_epi8(_mm_cmpeq_epi8(LoadBlock(plane + end), fill)) == 0xFFFF) {
        end += kBlock;
    }
    while (end < length && plane[end] == value) ++end;
    return end;
}
#endif

// Run-length codes one plane of `length` (>= 1) bytes into `out`, which
// holds 2 x length bytes and a window more; `plane` must be readable for a
// block past its end. Returns the bytes written.
//
// Each stretch of equal bytes is coded on its own, so coding can start over
// at the first byte of any stretch. Windows start there: in a window, bytes
// below the marker range that differ from both neighbours are copied as they
// are, and only the others are coded one stretch at a time.
size_t EncodePlane(const uint8_t* plane, size_t length, uint8_t* out) {
    size_t i = 0, at = 0;
#if defined(__SSE2__)
    while (length - i > kWindow) {  // the window's last byte has one after it
        const uint8_t* p = plane + i;
        const uint64_t repeats = RepeatMask(p);
        // The window's first byte starts a stretch, whatever came before.
        uint64_t coded = (AtLeastMask(p, kRunMarker) | repeats) & ~(repeats << 1);
        size_t pos = 0;  // the next byte to code
        while (coded != 0) {
            const size_t next = static_cast<size_t>(__builtin_ctzll(coded));
            CopyBlocks(out + at, p + pos, next - pos);
            at += next - pos;
            const uint64_t ends = ~repeats >> next;
            const size_t count = ends != 0 ? static_cast<size_t>(__builtin_ctzll(ends)) + 1 : 0;
            if (count == 0 || count > kMaxRun) {  // long, or reaching past the window
                const size_t end = StretchEnd(plane, i + next, length);
                at = EmitStretch(out, at, end - i - next, p[next]);
                pos = end - i;
                break;
            }
            const uint8_t pair[2] = {static_cast<uint8_t>(kRunMarker + count), p[next]};
            std::memcpy(out + at, pair, 2);
            at += 2;
            pos = next + count;
            coded &= coded - 1;
        }
        if (pos < kWindow) {  // bytes copied as they are to the window end
            CopyBlocks(out + at, p + pos, kWindow - pos);
            at += kWindow - pos;
            pos = kWindow;
        }
        i += pos;
    }
    if (i == length) return at;
#endif
    return at + EncodeBytes(plane + i, length - i, out + at);
}

struct PcxWriter {
    std::FILE* file = nullptr;  // borrowed
    uint8_t header[kHeaderSize] = {};
    unsigned planes = 0;
    size_t bytesPerLine = 0;
    Scratch line;     // planes x bytes per line and a block, pad bytes stay 0
    Scratch encoded;  // coded lines waiting to be written
    size_t encodedBytes = 0;
    size_t encodedRoom = 0;  // a worst-case line, 2 bytes per line byte, and a window fit
};

void FillHeader(PcxWriter* w, uint32_t width, uint32_t height) {
    uint8_t* h = w->header;
    h[0] = kManufacturer;
    h[1] = 5;  // version
    h[2] = 1;  // run-length encoding
    h[3] = 8;  // bits per pixel per plane
    PutLE16(h + 8, static_cast<uint16_t>(width - 1));
    PutLE16(h + 10, static_cast<uint16_t>(height - 1));
    PutLE16(h + 12, 96);
    PutLE16(h + 14, 96);
    h[65] = static_cast<uint8_t>(w->planes);
    PutLE16(h + 66, static_cast<uint16_t>(w->bytesPerLine));
    PutLE16(h + 68, 1);  // palette info
}

bool WriteAll(std::FILE* file, const void* data, size_t bytes) {
    return std::fwrite(data, 1, bytes, file) == bytes;
}

bool FlushLines(PcxWriter* w) {
    const size_t bytes = w->encodedBytes;
    w->encodedBytes = 0;
    return WriteAll(w->file, w->encoded.get(), bytes);
}

// Codes the scan line; lines are written in blocks, as small writes cost.
bool WriteLine(PcxWriter* w) {
    const size_t worst = 2 * w->planes * w->bytesPerLine + kWindow;
    if (w->encodedRoom - w->encodedBytes < worst && !FlushLines(w)) return false;
    for (unsigned p = 0; p < w->planes; ++p) {
        w->encodedBytes += EncodePlane(w->line.get() + p * w->bytesPerLine, w->bytesPerLine,
                                       w->encoded.get() + w->encodedBytes);
    }
    return true;
}

int WritePcx(const char* path, const uint8_t* pixels, uint32_t width, uint32_t height,
             const RGBQUAD* palette, unsigned planes) {
    if (path == nullptr || pixels == nullptr) return kPixErrParam;
    if (planes == 1 && palette == nullptr) return kPixErrParam;
    if (width == 0 || height == 0 || width > kMaxWriteWidth || height > kMaxWriteHeight) {
        return kPixErrParam;
    }
    PcxWriter w;
    w.planes = planes;
    w.bytesPerLine = (size_t{width} + 1) & ~size_t{1};
    const size_t lineBytes = w.bytesPerLine * planes;
    // Scratch first, so a failed allocation leaves any existing file alone.
    w.line = NewScratch(lineBytes + kBlock);
    w.encodedRoom = std::max(kOutputChunk, lineBytes * 2 + kWindow);
    w.encoded = NewScratch(w.encodedRoom);
    if (!w.line || !w.encoded) return kPixErrMemory;
    std::memset(w.line.get(), 0, lineBytes + kBlock);
    FillHeader(&w, width, height);

    FilePtr file = OpenFile(path, "wb");
    if (!file) return kPixErrOpen;
    w.file = file.get();
    if (!WriteAll(w.file, w.header, kHeaderSize)) return kPixErrWrite;

    for (uint32_t y = 0; y < height; ++y) {
        if (PixCancelled()) return kPixErrCancelled;
        if (planes == 1) {
            std::memcpy(w.line.get(), pixels + size_t{y} * width, width);
        } else {
            uint8_t* planes[3] = {w.line.get(), w.line.get() + w.bytesPerLine,
                                  w.line.get() + 2 * w.bytesPerLine};
            TriplesToPlanes(pixels + size_t{y} * width * 3, width, planes);
        }
        if (!WriteLine(&w)) return kPixErrWrite;
    }
    if (!FlushLines(&w)) return kPixErrWrite;
    if (planes == 1) {
        uint8_t tail[kPaletteTail];
        tail[0] = kPaletteMarker;
        for (size_t i = 0; i < 256; ++i) {
            tail[1 + i * 3] = palette[i].rgbRed;
            tail[2 + i * 3] = palette[i].rgbGreen;
            tail[3 + i * 3] = palette[i].rgbBlue;
        }
        if (!WriteAll(w.file, tail, kPaletteTail)) return kPixErrWrite;
    }
    // Buffered bytes only meet a full disk when the stream is flushed.
    if (std::fclose(file.release()) != 0) return kPixErrWrite;
    return 0;
}

}  // namespace

HGLOBAL PixReadPCX(const char* path, uint32_t* width, uint32_t* height) {
    uint32_t taken = 0;
    return PixReadPCXRows(path, width, height, UINT32_MAX, &taken);
}

HGLOBAL PixReadPCXRows(const char* path, uint32_t* width, uint32_t* height, uint32_t rows,
                       uint32_t* taken) {
    if (path == nullptr || width == nullptr || height == nullptr || taken == nullptr) {
        PixSetLastError(kPixErrParam);
        return nullptr;
    }
    *taken = 0;
    FilePtr file = OpenFile(path, "rb");
    if (!file) {
        PixSetLastError(kPixErrOpen);
        return nullptr;
    }
    HGLOBAL result = nullptr;
    PixSetLastError(ReadRgb(file.get(), rows, width, height, taken, &result));
    return result;
}

HGLOBAL PixReadPCX8(const char* path, uint32_t* width, uint32_t* height, RGBQUAD* palette) {
    uint32_t taken = 0;
    return PixReadPCX8Rows(path, width, height, palette, UINT32_MAX, &taken);
}

HGLOBAL PixReadPCX8Rows(const char* path, uint32_t* width, uint32_t* height, RGBQUAD* palette,
                        uint32_t rows, uint32_t* taken) {
    if (path == nullptr || width == nullptr || height == nullptr || palette == nullptr ||
        taken == nullptr) {
        PixSetLastError(kPixErrParam);
        return nullptr;
    }
    *taken = 0;
    FilePtr file = OpenFile(path, "rb");
    if (!file) {
        PixSetLastError(kPixErrOpen);
        return nullptr;
    }
    HGLOBAL result = nullptr;
    PixSetLastError(ReadIndexed(file.get(), rows, width, height, taken, palette, &result));
    return result;
}

BOOL PixWritePCX(const char* path, const uint8_t* pixels, uint32_t width, uint32_t height) {
    return PixSetLastError(WritePcx(path, pixels, width, height, nullptr, 3)) == 0;
}

BOOL PixWritePCX8(const char* path, const uint8_t* pixels, uint32_t width, uint32_t height,
                  const RGBQUAD* palette) {
    return PixSetLastError(WritePcx(path, pixels, width, height, palette, 1)) == 0;
}

BOOL PixGetPCXSize(const char* path, uint32_t* width, uint32_t* height) {
    if (path == nullptr || width == nullptr || height == nullptr) {
        return PixSetLastError(kPixErrParam) == 0;
    }
    FilePtr file = OpenFile(path, "rb");
    if (!file) return PixSetLastError(kPixErrOpen) == 0;
    PcxHeader header;
    if (const int rc = ReadHeader(file.get(), &header)) return PixSetLastError(rc) == 0;
    *width = header.width;
    *height = header.height;
    return PixSetLastError(0) == 0;
}
