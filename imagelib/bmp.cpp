// SPDX-License-Identifier: GPL-3.0-or-later
#include "imagelib/bmp.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstring>
#include <memory>
#include <new>

#if defined(__x86_64__)
#include <tmmintrin.h>
#endif

#include "imagelib/common.h"

namespace {

constexpr size_t kFileHeaderBytes = 14;
constexpr size_t kInfoHeaderBytes = 40;  // what the writer produces
constexpr size_t kMaxHeaderBytes = 124;  // V5
// Rows are read and written in blocks of about this many bytes.
constexpr size_t kBlockBytes = size_t{1} << 20;

// The headers as read from the file, not yet trusted.
struct BmpHeader {
    uint32_t dataOffset = 0;
    uint32_t headerSize = 0;
    int32_t width = 0;
    int32_t height = 0;
    uint32_t bitCount = 0;
    uint32_t compression = 0;
    uint32_t coloursUsed = 0;
    uint32_t entryBytes = 4;             // colour-table entry: 3 in OS/2 1.x files
    uint32_t masks[3] = {};              // red, green, blue, for compression 3 only
    uint8_t info[kMaxHeaderBytes] = {};  // the information header; zeros past its end
};

enum Compression : uint32_t { kRgb = 0, kRle8 = 1, kRle4 = 2, kBitFields = 3 };

// Pixel geometry once the header has passed its checks.
struct Geometry {
    uint32_t width = 0;
    uint32_t rows = 0;
    bool topDown = false;
    size_t stride = 0;   // bytes per stored row, padded to 4
    uint32_t taken = 0;  // rows read, from the top of the picture
};

using Palette = uint8_t[256][3];  // red, green, blue; entries the file lacks stay black

std::unique_ptr<uint8_t[]> Scratch(size_t bytes) {
    return std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[bytes]);
}

bool ReadExactly(std::FILE* file, void* out, size_t bytes) {
    return std::fread(out, 1, bytes, file) == bytes;
}

bool IsKnownHeaderSize(uint32_t size) {
    constexpr uint32_t kSizes[] = {12, 16, 40, 52, 56, 64, 108, 124};  // OS/2 1.x and 2.x, V3 to V5
    return std::find(std::begin(kSizes), std::end(kSizes), size) != std::end(kSizes);
}

// Reads the file header and the information header, leaving the file at the
// colour table. Returns a result code.
int ReadHeaders(std::FILE* file, BmpHeader* h) {
    uint8_t fileHeader[kFileHeaderBytes];
    if (!ReadExactly(file, fileHeader, sizeof fileHeader)) return kPixErrRead;
    if (fileHeader[0] != 'B' || fileHeader[1] != 'M') return kPixErrBmp;
    h->dataOffset = GetLE32(fileHeader + 10);

    uint8_t* info = h->info;
    if (!ReadExactly(file, info, 4)) return kPixErrRead;
    h->headerSize = GetLE32(info);
    if (!IsKnownHeaderSize(h->headerSize)) return kPixErrBmp;
    if (!ReadExactly(file, info + 4, h->headerSize - 4)) return kPixErrRead;

    if (h->headerSize == 12) {  // OS/2 1.x: unsigned 16-bit sizes, no compression
        h->width = GetLE16(info + 4);
        h->height = GetLE16(info + 6);
        h->bitCount = GetLE16(info + 10);
        h->entryBytes = 3;
    } else {  // shorter OS/2 2.x headers read as zero past their end
        h->width = static_cast<int32_t>(GetLE32(info + 4));
        h->height = static_cast<int32_t>(GetLE32(info + 8));
        h->bitCount = GetLE16(info + 14);
        h->compression = GetLE32(info + 16);
        h->coloursUsed = GetLE32(info + 32);
    }
    // Its absolute value does not fit: refuse rather than negate.
    if (h->height == INT32_MIN) return kPixErrBmp;
    return 0;
}

// Bit-field masks (compression 3), the file being just past the headers:
// inside headers of 52 bytes or more, else the 12 bytes after a 40-byte one.
// Headers of 12 and 16 bytes have no compression field, so never get here.
int ReadMasks(std::FILE* file, BmpHeader* h) {
    const uint8_t* masks = h->info + 40;
    uint8_t after[12];
    if (h->headerSize == 40) {
        if (!ReadExactly(file, after, sizeof after)) return kPixErrRead;
        masks = after;
    }
    for (int i = 0; i < 3; ++i) h->masks[i] = GetLE32(masks + 4 * i);
    return 0;
}

bool IsIndexedDepth(uint32_t bits) {
    return bits == 1 || bits == 2 || bits == 4 || bits == 8;
}

// Entries the colour table holds for an indexed depth (colours used is a claim: at most 256).
uint32_t TableEntries(const BmpHeader& h) {
    const uint32_t count = h.coloursUsed != 0 ? h.coloursUsed : uint32_t{1} << h.bitCount;
    return std::min<uint32_t>(count, 256);
}

// Reads the colour table, the file being at its start. `write` receives each
// entry's blue, green and red bytes.
template <typename Write>
int ReadColourTable(std::FILE* file, const BmpHeader& h, Write write) {
    const uint32_t entries = TableEntries(h);
    uint8_t table[256 * 4];
    if (!ReadExactly(file, table, size_t{entries} * h.entryBytes)) return kPixErrRead;
    for (uint32_t i = 0; i < entries; ++i) write(i, table + size_t{i} * h.entryBytes);
    return 0;
}

int ReadPalette(std::FILE* file, const BmpHeader& h, Palette* palette) {
    std::memset(palette, 0, sizeof *palette);
    return ReadColourTable(file, h, [palette](uint32_t i, const uint8_t* bgr) {
        (*palette)[i][0] = bgr[2];
        (*palette)[i][1] = bgr[1];
        (*palette)[i][2] = bgr[0];
    });
}

size_t StoredRowBytes(uint32_t width, uint32_t bits) {
    return static_cast<size_t>((uint64_t{width} * bits + 31) / 32 * 4);
}

// Checks an uncompressed picture against the pixel limit and the rows to be
// read against the file's length, before anything is allocated, and seeks
// to the first of them. `bytesPerPixel` is that of the buffer the reader
// returns; *bufferBytes is sized for the top `wanted` rows.
int ValidateGeometry(std::FILE* file, const BmpHeader& h, size_t bytesPerPixel, uint32_t wanted,
                     Geometry* g, size_t* bufferBytes) {
    g->width = static_cast<uint32_t>(h.width);
    g->topDown = h.height <= 0;  // zero or negative height: rows stored top first
    g->rows = static_cast<uint32_t>(h.height < 0 ? -h.height : h.height);
    // The header's claim is bounded whole, however few rows are read.
    if (!ImageBytes(g->width, g->rows, bytesPerPixel, bufferBytes)) return kPixErrMemory;
    g->taken = std::min(wanted, g->rows);
    *bufferBytes = size_t{g->width} * g->taken * bytesPerPixel;
    // Width and rows are now below 2^30 each, so none of this overflows.
    g->stride = StoredRowBytes(g->width, h.bitCount);
    // A bottom-up file stores the top rows last: they end where the data ends.
    const uint64_t skip = g->topDown ? 0 : uint64_t{g->stride} * (g->rows - g->taken);
    const uint64_t need = skip + uint64_t{g->stride} * g->taken;
    if (std::fseek(file, 0, SEEK_END) != 0) return kPixErrBmp;
    const long end = std::ftell(file);
    if (end < 0) return kPixErrBmp;
    const uint64_t fileBytes = static_cast<uint64_t>(end);
    // Data running past the end would be a short read; say so before allocating for it.
    if (h.dataOffset > fileBytes || need > fileBytes - h.dataOffset) return kPixErrRead;
    if (std::fseek(file, static_cast<long>(h.dataOffset + skip), SEEK_SET) != 0) return kPixErrBmp;
    return 0;
}

// Reads the stored rows of the top g.taken in blocks and hands each to
// `convert` with the buffer row it belongs to (0 = top).
template <typename Convert>
int ForEachStoredRow(std::FILE* file, const Geometry& g, Convert convert) {
    if (g.taken == 0 || g.stride == 0) return 0;
    const size_t blockRows = std::clamp<size_t>(kBlockBytes / g.stride, 1, g.taken);
    // Size proven in ValidateGeometry: these rows lie within the file.
    auto block = Scratch(blockRows * g.stride);
    if (!block) return kPixErrMemory;
    for (uint32_t done = 0; done < g.taken;) {
        const size_t count = std::min<size_t>(blockRows, g.taken - done);
        if (PixCancelled()) return kPixErrCancelled;
        if (!ReadExactly(file, block.get(), count * g.stride)) return kPixErrRead;
        for (size_t i = 0; i < count; ++i, ++done) {
            const uint32_t y = g.topDown ? done : g.taken - 1 - done;
            convert(block.get() + i * g.stride, y);
        }
    }
    return 0;
}

// Index of pixel x in a row of 1, 2, 4 or 8 bits per pixel; the first pixel
// is in the most significant bits.
inline uint8_t IndexAt(const uint8_t* row, uint32_t x, uint32_t bits) {
    const uint32_t bit = x * bits;
    const uint32_t shift = 8 - bits - bit % 8;
    return static_cast<uint8_t>((row[bit / 8] >> shift) & ((1u << bits) - 1));
}

void UnpackIndices(const uint8_t* row, uint32_t width, uint32_t bits, uint8_t* out) {
    if (bits == 8) {
        std::memcpy(out, row, width);
        return;
    }
    for (uint32_t x = 0; x < width; ++x) out[x] = IndexAt(row, x, bits);
}

// One bit-field component: where it sits and the largest value it holds.
struct Channel {
    uint32_t mask = 0;
    uint32_t shift = 0;
    uint64_t top = 0;  // 0 for an empty mask, whose component reads as 0

    explicit Channel(uint32_t m) : mask(m) {
        if (m == 0) return;
        while (((m >> shift) & 1) == 0) ++shift;
        top = m >> shift;
    }
    // round(c * 255 / top), halves rounded up.
    uint8_t Scale(uint32_t pixel) const {
        if (top == 0) return 0;
        const uint64_t c = (pixel & mask) >> shift;
        return static_cast<uint8_t>((2 * 255 * c + top) / (2 * top));
    }
};

inline uint32_t Load32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
inline void Store32(uint8_t* p, uint32_t v) {
    std::memcpy(p, &v, 4);
}

// Swaps the first and third byte of every 3-byte pixel from pixel x on.
// Four pixels are three 32-bit words, permuted with shifts rather than
// byte by byte (bytes named low first, as a little-endian load has them):
//   in   B0 G0 R0 B1 | G1 R1 B2 G2 | R2 B3 G3 R3
//   out  R0 G0 B0 R1 | G1 B1 R2 G2 | B2 R3 G3 B3
void ConvertRow24Words(const uint8_t* in, uint32_t width, uint8_t* out, uint32_t x) {
    static_assert(std::endian::native == std::endian::little);
    for (; x + 4 <= width; x += 4, in += 12, out += 12) {
        const uint32_t a = Load32(in), b = Load32(in + 4), c = Load32(in + 8);
        Store32(out, (a >> 16 & 0xFF) | (a & 0xFF00) | (a & 0xFF) << 16 | (b & 0xFF00) << 16);
        Store32(out + 4, (b & 0xFF) | (a >> 16 & 0xFF00) | (c & 0xFF) << 16 | (b & 0xFF000000));
        Store32(out + 8,
                (b >> 16 & 0xFF) | (c >> 16 & 0xFF00) | (c & 0xFF0000) | (c & 0xFF00) << 16);
    }
    for (; x < width; ++x, in += 3, out += 3) {
        out[0] = in[2];
        out[1] = in[1];
        out[2] = in[0];
    }
}

#if defined(__x86_64__)
// One byte shuffle per four pixels. Each 16-byte load and store reaches 4
// bytes past the four pixels, so the loop stops while 6 pixels remain; the
// extra bytes stored are rewritten by the next step.
__attribute__((target("ssse3"))) uint32_t ConvertRow24Shuffle(const uint8_t* in, uint32_t width,
                                                              uint8_t* out) {
    const __m128i order = _mm_setr_epi8(2, 1, 0, 5, 4, 3, 8, 7, 6, 11, 10, 9, 12, 13, 14, 15);
    uint32_t x = 0;
    for (; x + 6 <= width; x += 4, in += 12, out += 12) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_shuffle_epi8(v, order));
    }
    return x;
}
#endif

// BGR to RGB and back: the swap is its own inverse.
void ConvertRow24(const uint8_t* in, uint32_t width, uint8_t* out) {
    uint32_t x = 0;
#if defined(__x86_64__)
    static const bool shuffle = __builtin_cpu_supports("ssse3");
    if (shuffle) x = ConvertRow24Shuffle(in, width, out);
#endif
    ConvertRow24Words(in + 3 * size_t{x}, width, out + 3 * size_t{x}, x);
}

void ConvertRow32(const uint8_t* in, uint32_t width, uint8_t* out) {
    for (uint32_t x = 0; x < width; ++x, in += 4, out += 3) {
        out[0] = in[2];
        out[1] = in[1];
        out[2] = in[0];
    }
}

void ConvertRow555(const uint8_t* in, uint32_t width, uint8_t* out) {
    for (uint32_t x = 0; x < width; ++x, in += 2, out += 3) {
        const uint32_t v = GetLE16(in);
        out[0] = static_cast<uint8_t>(((v >> 10) & 31) * 8 + 7);
        out[1] = static_cast<uint8_t>(((v >> 5) & 31) * 8 + 7);
        out[2] = static_cast<uint8_t>((v & 31) * 8 + 7);
    }
}

void ConvertRowIndexed(const uint8_t* in, uint32_t width, uint32_t bits, const Palette& palette,
                       uint8_t* out) {
    for (uint32_t x = 0; x < width; ++x, out += 3) {
        const uint8_t* rgb = palette[bits == 8 ? in[x] : IndexAt(in, x, bits)];
        out[0] = rgb[0];
        out[1] = rgb[1];
        out[2] = rgb[2];
    }
}

// Run-length data (compression 1 at 8 bits, 2 at 4 bits), stored bottom row
// first, as pairs of bytes: a count and a colour, or 0 and an escape code
// (0 end of line, 1 end of bitmap, 2 delta x y, n >= 3 an absolute run of n
// pixels padded to an even byte count). The file is at the colour table.
int ReadRle(std::FILE* file, const BmpHeader& h, HGLOBAL* image) {
    Palette palette;
    if (const int rc = ReadPalette(file, h, &palette)) return rc;
    if (std::fseek(file, static_cast<long>(h.dataOffset), SEEK_SET) != 0) return kPixErrBmp;
    // Run-length rows always run bottom up; a top-down file has no buffer to go in.
    if (h.height <= 0) return kPixErrMemory;
    const uint32_t width = static_cast<uint32_t>(h.width);
    size_t bytes = 0;
    if (!ImageBytes(width, static_cast<uint32_t>(h.height), 3, &bytes)) return kPixErrMemory;
    GlobalBlock block(bytes);
    if (!block) return kPixErrMemory;
    uint8_t* pixels = block.data();

    const bool four = h.bitCount == 4;
    enum State { kCount, kColour, kEscape, kCode, kAbsolute, kDeltaX, kDeltaY } state = kCount;
    uint8_t run[256];
    uint32_t count = 0;      // pixels of the current encoded run
    uint32_t remaining = 0;  // pixels of the current absolute run still to come
    // x stops at width and y at -1: past either, nothing more can be written.
    int64_t x = 0;
    int64_t y = h.height - 1;
    uint64_t n = 0;  // bytes read; escapes start on odd counts, pad bytes fall on even ones
    for (;;) {
        const int b = std::getc(file);     // buffered by the stream, so no buffer of our own
        if (b == EOF) return kPixErrRead;  // ended before end-of-bitmap
        ++n;
        if (state == kCount && b == 0 && (n & 1) != 0) state = kEscape;
        uint32_t emit = 0;
        switch (state) {
            case kCount:
                if (b != 0) {
                    count = static_cast<uint32_t>(b);
                    state = kColour;
                }
                break;
            case kColour:
                if (four) {
                    for (uint32_t k = 0; k < count; ++k) run[k] = (k & 1) ? (b & 15) : (b >> 4);
                } else {
                    std::memset(run, b, count);
                }
                emit = count;
                state = kCount;
                break;
            case kEscape:
                state = kCode;
                break;
            case kCode:
                if (b == 0) {
                    y = std::max<int64_t>(y - 1, -1);
                    x = 0;
                    state = kCount;
                } else if (b == 1) {
                    *image = block.release();
                    return 0;
                } else if (b == 2) {
                    state = kDeltaX;
                } else {
                    remaining = static_cast<uint32_t>(b);
                    state = kAbsolute;
                }
                break;
            case kAbsolute:
                if (four) {
                    emit = std::min<uint32_t>(remaining, 2);
                    run[0] = static_cast<uint8_t>(b >> 4);
                    run[1] = static_cast<uint8_t>(b & 15);
                } else {
                    emit = 1;
                    run[0] = static_cast<uint8_t>(b);
                }
                remaining -= emit;
                if (remaining == 0) state = kCount;
                break;
            case kDeltaX:
                x = std::min<int64_t>(x + b, width);
                state = kDeltaY;
                break;
            case kDeltaY:
                y = std::max<int64_t>(y - b, -1);
                state = kCount;
                break;
        }
        if (emit == 0 || x >= width) continue;  // pixels past the row end are dropped
        if (y < 0) return kPixErrBmp;           // a pixel above the top row
        const uint32_t kept = static_cast<uint32_t>(std::min<int64_t>(emit, width - x));
        uint8_t* out = pixels + (static_cast<size_t>(y) * width + static_cast<size_t>(x)) * 3;
        for (uint32_t k = 0; k < kept; ++k, out += 3) {
            const uint8_t* rgb = palette[run[k]];
            out[0] = rgb[0];
            out[1] = rgb[1];
            out[2] = rgb[2];
        }
        x = std::min<int64_t>(x + emit, width);
    }
}

// The 24-bit reader's body, reading the top `wanted` rows (all of them for
// run-length data, which has no cheap way to its top rows); *image and
// *taken are set only on success.
int ReadBmp24(const char* path, uint32_t wanted, HGLOBAL* image, uint32_t* width, uint32_t* height,
              uint32_t* taken) {
    FilePtr file = OpenFile(path, "rb");
    if (!file) return kPixErrOpen;
    BmpHeader h;
    if (const int rc = ReadHeaders(file.get(), &h)) return rc;
    if (h.width <= 0) return 0;  // no error of ours: the caller reports "not a valid image"

    if ((h.compression == kRle8 && h.bitCount == 8) ||
        (h.compression == kRle4 && h.bitCount == 4)) {
        if (const int rc = ReadRle(file.get(), h, image)) return rc;
        *width = static_cast<uint32_t>(h.width);
        *height = *taken = static_cast<uint32_t>(h.height);
        return 0;
    }
    const bool bitFields = h.compression == kBitFields && (h.bitCount == 16 || h.bitCount == 32);
    if (h.compression != kRgb && !bitFields) return kPixErrBmp;
    if (bitFields) {
        if (const int rc = ReadMasks(file.get(), &h)) return rc;
    }

    Palette palette;
    if (IsIndexedDepth(h.bitCount)) {
        if (const int rc = ReadPalette(file.get(), h, &palette)) return rc;
    } else if (h.bitCount != 16 && h.bitCount != 24 && h.bitCount != 32) {
        return kPixErrBmp;  // 16, 24 and 32 bits carry no colour table
    }

    Geometry g;
    size_t bytes = 0;
    if (const int rc = ValidateGeometry(file.get(), h, 3, wanted, &g, &bytes)) return rc;
    GlobalBlock block(bytes);
    if (!block) return kPixErrMemory;
    uint8_t* pixels = block.data();
    const size_t rowBytes = size_t{g.width} * 3;
    const uint32_t bits = h.bitCount;
    int rc = 0;
    if (bitFields) {
        const Channel red(h.masks[0]), green(h.masks[1]), blue(h.masks[2]);
        rc = ForEachStoredRow(file.get(), g, [&](const uint8_t* in, uint32_t y) {
            uint8_t* out = pixels + y * rowBytes;
            for (uint32_t x = 0; x < g.width; ++x, out += 3) {
                const uint32_t v = bits == 16 ? GetLE16(in + 2 * x) : GetLE32(in + 4 * x);
                out[0] = red.Scale(v);
                out[1] = green.Scale(v);
                out[2] = blue.Scale(v);
            }
        });
    } else {
        rc = ForEachStoredRow(file.get(), g, [&](const uint8_t* in, uint32_t y) {
            uint8_t* out = pixels + y * rowBytes;
            switch (bits) {
                case 16:
                    ConvertRow555(in, g.width, out);
                    break;
                case 24:
                    ConvertRow24(in, g.width, out);
                    break;
                case 32:
                    ConvertRow32(in, g.width, out);
                    break;
                default:
                    ConvertRowIndexed(in, g.width, bits, palette, out);
                    break;
            }
        });
    }
    if (rc != 0) return rc;
    *width = g.width;
    *height = g.rows;
    *taken = g.taken;
    *image = block.release();
    return 0;
}

int ReadBmp8(const char* path, uint32_t wanted, HGLOBAL* image, uint32_t* width, uint32_t* height,
             uint32_t* taken, RGBQUAD* palette) {
    FilePtr file = OpenFile(path, "rb");
    if (!file) return kPixErrOpen;
    BmpHeader h;
    if (const int rc = ReadHeaders(file.get(), &h)) return rc;
    if (h.bitCount > 8) return kPixErrDepth;
    if (h.compression != kRgb) return kPixErrBmpRle;
    if (h.width <= 0) return 0;  // as the 24-bit reader: "not a valid image"
    if (!IsIndexedDepth(h.bitCount)) return kPixErrBmp;

    const int tableRc = ReadColourTable(file.get(), h, [palette](uint32_t i, const uint8_t* bgr) {
        palette[i].rgbBlue = bgr[0];
        palette[i].rgbGreen = bgr[1];
        palette[i].rgbRed = bgr[2];
    });
    if (tableRc != 0) return tableRc;

    Geometry g;
    size_t bytes = 0;
    if (const int rc = ValidateGeometry(file.get(), h, 1, wanted, &g, &bytes)) return rc;
    GlobalBlock block(bytes);
    if (!block) return kPixErrMemory;
    uint8_t* pixels = block.data();
    const uint32_t bits = h.bitCount;
    const int rc = ForEachStoredRow(file.get(), g, [&](const uint8_t* in, uint32_t y) {
        UnpackIndices(in, g.width, bits, pixels + size_t{y} * g.width);
    });
    if (rc != 0) return rc;
    *width = g.width;
    *height = g.rows;
    *taken = g.taken;
    *image = block.release();
    return 0;
}

// Packs one row of indices, most significant bits first; an index wider than
// `bits` loses its high bits rather than spilling into its neighbours.
void PackIndices(const uint8_t* in, uint32_t width, uint32_t bits, uint8_t* out) {
    if (bits == 8) {
        std::memcpy(out, in, width);
        return;
    }
    const uint32_t mask = (1u << bits) - 1;
    uint32_t acc = 0;
    uint32_t filled = 0;
    for (uint32_t x = 0; x < width; ++x) {
        acc = (acc << bits) | (in[x] & mask);
        filled += bits;
        if (filled == 8) {
            *out++ = static_cast<uint8_t>(acc);
            acc = 0;
            filled = 0;
        }
    }
    if (filled != 0) *out = static_cast<uint8_t>(acc << (8 - filled));
}

//   file header (14)          information header (40)
//   "BM" F 0 0 O              40 W H 1 bits 0 S 0 0 colours colours
//   2    4 2 2 4              4  4 4 2 2    4 4 4 4 4       4
// then `colours` entries of blue, green, red, 0, then the rows bottom first,
// each padded with zeros to a multiple of 4 bytes.
int WriteBmp(const char* path, const uint8_t* pixels, uint32_t width, uint32_t height, int bits,
             int colours, const RGBQUAD* palette) {
    if (pixels == nullptr) return kPixErrParam;
    if (bits == 24) {
        colours = 0;
    } else if (bits == 1 || bits == 4 || bits == 8) {
        // The colour table comes from the caller's 256 entries and must fit the depth.
        if (palette == nullptr || colours < 0 || colours > (1 << bits)) return kPixErrParam;
    } else {
        return kPixErrParam;
    }
    const size_t stride = StoredRowBytes(width, static_cast<uint32_t>(bits));
    const uint64_t imageBytes = uint64_t{stride} * height;
    const uint64_t offset =
        kFileHeaderBytes + kInfoHeaderBytes + 4 * static_cast<uint64_t>(colours);
    const uint64_t fileBytes = offset + imageBytes;
    // The header's sizes are 32-bit, and its width and height signed.
    if (width > INT32_MAX || height > INT32_MAX || fileBytes > UINT32_MAX) return kPixErrParam;

    const size_t blockRows =
        height == 0 ? 1 : std::clamp<size_t>(kBlockBytes / std::max<size_t>(stride, 1), 1, height);
    // Value-initialised: the row pads are never written, so they stay 0.
    std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[blockRows * stride]());
    if (!block) return kPixErrMemory;
    FilePtr file = OpenFile(path, "wb");
    if (!file) return kPixErrOpen;

    uint8_t header[kFileHeaderBytes + kInfoHeaderBytes + 4 * 256] = {};
    uint8_t* p = header;
    p[0] = 'B';
    p[1] = 'M';
    PutLE32(p + 2, static_cast<uint32_t>(fileBytes));
    PutLE32(p + 10, static_cast<uint32_t>(offset));
    p += kFileHeaderBytes;
    PutLE32(p, kInfoHeaderBytes);
    PutLE32(p + 4, width);
    PutLE32(p + 8, height);  // positive: rows stored bottom first
    PutLE16(p + 12, 1);
    PutLE16(p + 14, static_cast<uint16_t>(bits));
    PutLE32(p + 20, static_cast<uint32_t>(imageBytes));
    PutLE32(p + 32, static_cast<uint32_t>(colours));
    PutLE32(p + 36, static_cast<uint32_t>(colours));
    p += kInfoHeaderBytes;
    for (int i = 0; i < colours; ++i, p += 4) {
        p[0] = palette[i].rgbBlue;
        p[1] = palette[i].rgbGreen;
        p[2] = palette[i].rgbRed;
    }
    uint64_t written = std::fwrite(header, 1, static_cast<size_t>(offset), file.get());
    if (written != offset) return kPixErrWrite;

    const size_t inRowBytes = bits == 24 ? size_t{width} * 3 : width;
    for (uint32_t done = 0; done < height;) {
        const size_t count = std::min<size_t>(blockRows, height - done);
        if (PixCancelled()) return kPixErrCancelled;
        for (size_t i = 0; i < count; ++i, ++done) {
            const uint8_t* in = pixels + size_t{height - 1 - done} * inRowBytes;
            uint8_t* out = block.get() + i * stride;
            if (bits == 24) {
                ConvertRow24(in, width, out);
            } else {
                PackIndices(in, width, static_cast<uint32_t>(bits), out);
            }
        }
        const size_t chunk = count * stride;
        const size_t put = std::fwrite(block.get(), 1, chunk, file.get());
        written += put;
        if (put != chunk) return kPixErrWrite;
    }
    // Buffered bytes reach the disk only here; a full disk may first show now.
    if (std::fclose(file.release()) != 0) return kPixErrWrite;
    return written == fileBytes ? 0 : kPixErrWrite;
}

int ReadBmpSize(const char* path, uint32_t* width, uint32_t* height) {
    FilePtr file = OpenFile(path, "rb");
    if (!file) return kPixErrOpen;
    BmpHeader h;
    if (const int rc = ReadHeaders(file.get(), &h)) return rc;
    *width = static_cast<uint32_t>(h.width);
    *height = static_cast<uint32_t>(h.height < 0 ? -h.height : h.height);
    return 0;
}

}  // namespace

HGLOBAL PixReadBMP(const char* path, uint32_t* width, uint32_t* height) {
    uint32_t taken = 0;
    return PixReadBMPRows(path, width, height, UINT32_MAX, &taken);
}

HGLOBAL PixReadBMPRows(const char* path, uint32_t* width, uint32_t* height, uint32_t rows,
                       uint32_t* taken) {
    if (width == nullptr || height == nullptr || taken == nullptr) {
        PixSetLastError(kPixErrParam);
        return nullptr;
    }
    *width = *height = *taken = 0;
    HGLOBAL image = nullptr;
    PixSetLastError(ReadBmp24(path, rows, &image, width, height, taken));
    return image;
}

HGLOBAL PixReadBMP8(const char* path, uint32_t* width, uint32_t* height, RGBQUAD* palette) {
    uint32_t taken = 0;
    return PixReadBMP8Rows(path, width, height, palette, UINT32_MAX, &taken);
}

HGLOBAL PixReadBMP8Rows(const char* path, uint32_t* width, uint32_t* height, RGBQUAD* palette,
                        uint32_t rows, uint32_t* taken) {
    if (palette == nullptr || width == nullptr || height == nullptr || taken == nullptr) {
        PixSetLastError(kPixErrParam);
        return nullptr;
    }
    *width = *height = *taken = 0;
    HGLOBAL image = nullptr;
    PixSetLastError(ReadBmp8(path, rows, &image, width, height, taken, palette));
    return image;
}

BOOL PixWriteBMP(const char* path, const uint8_t* pixels, uint32_t width, uint32_t height) {
    return PixSetLastError(WriteBmp(path, pixels, width, height, 24, 0, nullptr)) == 0;
}

BOOL PixWriteBMP8(const char* path, const uint8_t* pixels, uint32_t width, uint32_t height,
                  int bits, int colours, const RGBQUAD* palette) {
    // This entry point takes one index per pixel, so a 24-bit request has no pixels to write.
    if (bits == 24 || palette == nullptr) return PixSetLastError(kPixErrParam) == 0;
    return PixSetLastError(WriteBmp(path, pixels, width, height, bits, colours, palette)) == 0;
}

BOOL PixGetBMPSize(const char* path, uint32_t* width, uint32_t* height) {
    if (width == nullptr || height == nullptr) return PixSetLastError(kPixErrParam) == 0;
    *width = 0;
    *height = 0;
    return PixSetLastError(ReadBmpSize(path, width, height)) == 0;
}
