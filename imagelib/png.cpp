// SPDX-License-Identifier: GPL-3.0-or-later
#include "imagelib/png.h"

#include <png.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>

#include "imagelib/common.h"
#include "imagelib/png_idat.h"

// libpng leaves by longjmp. Every frame between a setjmp below and libpng is
// plain C-like code: what must be released lives in the Png* structs, owned
// and released by the entry point's frame, which the jump never skips.

namespace {

// The calling thread's choice for its writes; 0 leaves it to the writer.
thread_local unsigned writeThreads = 0;

// No side may exceed the pixel bound; the product is checked by us.
constexpr png_uint_32 kMaxSide = static_cast<png_uint_32>(kPixMaxPixels);
// Ancillary chunks (text, iCCP, sPLT) beyond this are refused, not buffered.
constexpr png_alloc_size_t kChunkMallocMax = 8u << 20;

[[noreturn]] void OnPngError(png_structp png, png_const_charp) {
    png_longjmp(png, 1);
}
void DropPngWarning(png_structp, png_const_charp) {}
// libpng 1.6 reports a chunk longer than png_set_chunk_malloc_max as a benign
// error, which a read turns into this warning before it buffers the chunk
// anyway: a 57-byte file declaring a 1 GB tEXt chunk got a 1 GB allocation.
// The readers refuse such a file instead.
void OnPngReadWarning(png_structp png, png_const_charp message) {
    if (std::strstr(message, "chunk data is too large") != nullptr) png_longjmp(png, 1);
}

void SetLimits(png_structp png) {
    png_set_user_limits(png, kMaxSide, kMaxSide);
    png_set_chunk_malloc_max(png, kChunkMallocMax);
}

// Reads that hand back no text (sizes, top rows, palette indices) skip text
// chunks unread: libpng would inflate every zTXt and iTXt, and a megabyte
// of them can inflate to a gigabyte.
void SkipTexts(png_structp png) {
    static const png_byte kTextChunks[] = "tEXt\0zTXt\0iTXt";
    png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, kTextChunks, 3);
}

// A read that keeps text keeps the text chunks raw, in file order, as
// unknown chunks, and inflates them itself within kTextInflateMax for them
// all: libpng's own bound is per chunk, and a file may hold thousands.
constexpr size_t kTextInflateMax = 64u << 20;

void KeepTextsRaw(png_structp png) {
    static const png_byte kTextChunks[] = "tEXt\0zTXt\0iTXt";
    png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_ALWAYS, kTextChunks, 3);
}

struct PngRead {
    std::FILE* file = nullptr;             // borrowed
    bool indexed = false;                  // raw palette indices instead of RGB
    png_uint_32 wanted = PNG_UINT_32_MAX;  // top rows to read; interlaced files read whole
    double screenGamma = 0;
    png_color_16 background{};
    png_structp png = nullptr;
    png_infop info = nullptr;
    HGLOBAL block = nullptr;
    uint8_t* pixels = nullptr;  // block, locked
    png_uint_32 width = 0, height = 0;
    png_uint_32 taken = 0;  // rows in the block, from the top
    bool keepTexts = false;
    std::unique_ptr<uint8_t[]> scratch;  // a row below those kept, interlaced only
};

// Signature and IHDR as they stand at the start of the file, before libpng
// has read anything: lets a reader refuse an oversized or unwanted image at
// once. `valid` is false when the bytes do not look like a PNG header; libpng
// then gives the verdict.
struct PngHeaderPeek {
    bool valid = false;
    uint32_t width = 0, height = 0;
    int depth = 0, colourType = -1, interlace = 0;
};

uint32_t GetBE32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
}

// Reads the first 33 bytes and goes back to the start; false when the file
// cannot be rewound.
bool PeekHeader(std::FILE* file, PngHeaderPeek* peek) {
    static const uint8_t kStart[16] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n',
                                       0,    0,   0,   13,  'I',  'H',  'D',  'R'};
    uint8_t bytes[33];
    const size_t got = std::fread(bytes, 1, sizeof bytes, file);
    if (got == sizeof bytes && std::memcmp(bytes, kStart, sizeof kStart) == 0) {
        peek->valid = true;
        peek->width = GetBE32(bytes + 16);
        peek->height = GetBE32(bytes + 20);
        peek->depth = bytes[24];
        peek->colourType = bytes[25];
        peek->interlace = bytes[28];
    }
    return std::fseek(file, 0, SEEK_SET) == 0;
}

// Samples per pixel of a colour type, 0 for one libpng will refuse.
uint64_t Channels(int colourType) {
    switch (colourType) {
        case PNG_COLOR_TYPE_GRAY:
        case PNG_COLOR_TYPE_PALETTE:
            return 1;
        case PNG_COLOR_TYPE_GRAY_ALPHA:
            return 2;
        case PNG_COLOR_TYPE_RGB:
            return 3;
        case PNG_COLOR_TYPE_RGB_ALPHA:
            return 4;
    }
    return 0;
}

// libpng's own memory for a read: two rows of the widest pixel its
// transformations pass through (16-bit RGBA), whatever the file holds.
uint64_t RowWorkBytes(const PngHeaderPeek& peek) {
    return 2 * (uint64_t{peek.width} * 8 + 64);
}

// Whether the image data (IDAT) could inflate to the rows the header claims.
// One byte of zlib data inflates to at most 1032 (a 258-byte match in two
// one-bit codes), so a file with less cannot be whole; libpng would fail it
// with "Not enough image data" after filling most of the pixel block. Only
// chunk headers are read, and only until enough data is found.
bool DataCanFill(std::FILE* file, const PngHeaderPeek& peek) {
    const uint64_t bits = Channels(peek.colourType) * static_cast<uint64_t>(peek.depth);
    const uint64_t rowBytes = (uint64_t{peek.width} * bits + 7) / 8;
    // Interlaced rows are shorter but hold every pixel once.
    const uint64_t needed = peek.interlace != 0
                                ? (uint64_t{peek.width} * peek.height * bits + 7) / 8
                                : uint64_t{peek.height} * (rowBytes + 1);
    const uint64_t fileBytes = FileBytes(file);
    const int fd = fileno(file);
    uint64_t data = 0;
    uint64_t at = 8;
    uint8_t head[8];
    while (data * 1032 < needed) {
        if (at > fileBytes || fileBytes - at < sizeof head ||
            pread(fd, head, sizeof head, static_cast<off_t>(at)) != sizeof head)
            return false;
        const uint64_t length = GetBE32(head);
        if (std::memcmp(head + 4, "IEND", 4) == 0) return false;
        if (std::memcmp(head + 4, "IDAT", 4) == 0)
            data += std::min(length, fileBytes - at - sizeof head);
        at += length + 12;
    }
    return true;
}

void RequestRgbTransforms(PngRead* r, int depth, int colourType) {
    png_structp png = r->png;
    png_infop info = r->info;
    if (colourType == PNG_COLOR_TYPE_PALETTE) png_set_expand(png);
    if (colourType == PNG_COLOR_TYPE_GRAY && depth < 8) png_set_expand(png);
    if (colourType == PNG_COLOR_TYPE_GRAY || colourType == PNG_COLOR_TYPE_GRAY_ALPHA) {
        png_set_gray_to_rgb(png);
    }
    if (depth == 16) png_set_strip_16(png);

    // Only images with alpha or tRNS are composed; for the rest it is a no-op.
    png_color_16p fileBackground = nullptr;
    if (png_get_bKGD(png, info, &fileBackground) != 0) {
        png_set_background(png, fileBackground, PNG_BACKGROUND_GAMMA_FILE, 1, 1.0);
    } else {
        png_set_background(png, &r->background, PNG_BACKGROUND_GAMMA_SCREEN, 0, 1.0);
    }

    // Without gAMA (or sRGB) the file is taken to match the screen exactly,
    // and libpng skips corrections within 0.05 of 1.
    if (std::isfinite(r->screenGamma) && r->screenGamma > 0.0) {
        double fileGamma = 1.0 / r->screenGamma;
        png_get_gAMA(png, info, &fileGamma);
        png_set_gamma(png, r->screenGamma, fileGamma);
    }
}

int ReadBody(PngRead* r) {
    png_structp png = r->png;
    png_infop info = r->info;
    SetLimits(png);
    if (r->keepTexts) {
        KeepTextsRaw(png);
    } else {
        SkipTexts(png);
    }
    png_init_io(png, r->file);
    png_read_info(png, info);

    png_uint_32 width = 0, height = 0;
    int depth = 0, colourType = 0, interlace = 0;
    png_get_IHDR(png, info, &width, &height, &depth, &colourType, &interlace, nullptr, nullptr);
    if (r->indexed) {
        if (colourType != PNG_COLOR_TYPE_PALETTE) return kPixErrDepth;
        png_set_packing(png);  // 1, 2, 4 bits: one index per byte
    } else {
        RequestRgbTransforms(r, depth, colourType);
    }
    png_set_interlace_handling(png);
    png_read_update_info(png, info);

    const size_t pixelBytes = r->indexed ? 1 : 3;
    const size_t rowBytes = size_t{width} * pixelBytes;  // width <= 2^30: no overflow
    if (png_get_rowbytes(png, info) != rowBytes) return kPixErrInternal;
    size_t total = 0;
    if (!ImageBytes(width, height, pixelBytes, &total)) return kPixErrMemory;
    const png_uint_32 rows = std::min(r->wanted, height);
    total = rowBytes * rows;
    r->block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, total);  // size proven above
    if (r->block == nullptr) return kPixErrMemory;
    r->pixels = static_cast<uint8_t*>(GlobalLock(r->block));
    if (r->pixels == nullptr) return kPixErrMemory;
    // Every pass of an interlaced file reaches the bottom row; rows below
    // those kept pass through one scratch row, so a top-rows read of a huge
    // interlaced picture costs its top rows, not the picture.
    const png_uint_32 passRows = interlace == PNG_INTERLACE_NONE ? rows : height;
    if (passRows > rows) {
        r->scratch.reset(new (std::nothrow) uint8_t[rowBytes]);
        if (r->scratch == nullptr) return kPixErrMemory;
    }

    // png_read_image's loop, straight into the final buffer.
    const int passes = png_set_interlace_handling(png);
    for (int pass = 0; pass < passes; ++pass) {
        uint8_t* row = r->pixels;
        for (png_uint_32 y = 0; y < passRows; ++y, row += rowBytes) {
            if (PixCancelled()) return kPixErrCancelled;
            png_read_row(png, y < rows ? row : r->scratch.get(), nullptr);
        }
    }
    // Reads to IEND so that text chunks after the image data are collected.
    if (rows == height) png_read_end(png, info);
    r->width = width;
    r->height = height;
    r->taken = rows;
    return 0;
}

int RunRead(PngRead* r) {
    r->png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, OnPngError, OnPngReadWarning);
    if (r->png == nullptr) return kPixErrPngCreate;
    r->info = png_create_info_struct(r->png);
    if (r->info == nullptr) return kPixErrPngCreate;
    if (setjmp(png_jmpbuf(r->png))) return kPixErrPng;
    return ReadBody(r);
}

// Shared by both readers: peek, read, hand the block over or release it.
// Leaves the libpng structures for the caller to query, then destroy.
HGLOBAL ReadPng(PngRead* r, int* code) {
    PngHeaderPeek peek;
    // IHDR must come first; libpng lets chunks pass before it, and with
    // them a header the checks below never saw.
    if (!PeekHeader(r->file, &peek) || !peek.valid) {
        *code = kPixErrPng;
    } else if (peek.valid && peek.width != 0 && peek.height > kPixMaxPixels / peek.width) {
        *code = kPixErrMemory;
    } else if (peek.valid && r->indexed && peek.colourType != PNG_COLOR_TYPE_PALETTE) {
        *code = kPixErrDepth;
    } else if (peek.valid && RowWorkBytes(peek) > WorkCap(FileBytes(r->file))) {
        *code = kPixErrMemory;
    } else if (peek.valid && !DataCanFill(r->file, peek)) {
        *code = kPixErrPng;
    } else {
        *code = RunRead(r);
    }
    if (r->block == nullptr) return nullptr;
    if (r->pixels != nullptr) GlobalUnlock(r->block);
    if (*code == 0) return r->block;
    GlobalFree(r->block);
    return nullptr;
}

enum class TextOutcome { kKept, kDropped, kOverBudget };

// Inflates a zlib stream onto the end of `out`, spending at most *budget
// bytes of output.
TextOutcome InflateText(const uint8_t* data, size_t size, size_t* budget, std::string* out) {
    z_stream z{};
    if (inflateInit(&z) != Z_OK) return TextOutcome::kDropped;
    z.next_in = const_cast<Bytef*>(data);
    z.avail_in = static_cast<uInt>(size);  // a chunk holds less than 2^31 bytes
    char buffer[16384];
    TextOutcome outcome = TextOutcome::kDropped;
    while (true) {
        z.next_out = reinterpret_cast<Bytef*>(buffer);
        z.avail_out = sizeof buffer;
        const int rc = inflate(&z, Z_NO_FLUSH);
        const size_t got = sizeof buffer - z.avail_out;
        if (got > *budget) {
            outcome = TextOutcome::kOverBudget;
            break;
        }
        *budget -= got;
        out->append(buffer, got);
        if (rc == Z_STREAM_END) outcome = TextOutcome::kKept;
        if (rc != Z_OK) break;  // the end, damage, or input run out
    }
    inflateEnd(&z);
    return outcome;
}

// The zero-terminated field at `at`, moved past; false when unterminated.
bool TakeField(const uint8_t* data, size_t size, size_t* at, std::string* field) {
    const void* end = std::memchr(data + *at, 0, size - *at);
    if (end == nullptr) return false;
    const size_t length = static_cast<size_t>(static_cast<const uint8_t*>(end) - (data + *at));
    field->assign(reinterpret_cast<const char*>(data + *at), length);
    *at += length + 1;
    return true;
}

// One raw text chunk. A damaged one is dropped, as libpng drops it.
TextOutcome ParseText(const png_unknown_chunk& chunk, size_t* budget,
                      std::vector<PixText>* texts) {
    const bool international = std::memcmp(chunk.name, "iTXt", 4) == 0;
    const uint8_t* data = chunk.data;
    const size_t size = chunk.size;
    size_t at = 0;
    PixText text{"", "", 0, -1};
    if (data == nullptr || !TakeField(data, size, &at, &text.key) || text.key.empty() ||
        text.key.size() > 79)
        return TextOutcome::kDropped;
    bool compressed = true;
    if (std::memcmp(chunk.name, "tEXt", 4) == 0) {
        compressed = false;
    } else if (international) {
        std::string language, translated;
        if (size - at < 2) return TextOutcome::kDropped;
        compressed = data[at] != 0;
        if (compressed && data[at + 1] != 0) return TextOutcome::kDropped;
        at += 2;
        if (!TakeField(data, size, &at, &language) || !TakeField(data, size, &at, &translated))
            return TextOutcome::kDropped;
        text.kind = compressed ? PNG_ITXT_COMPRESSION_zTXt : PNG_ITXT_COMPRESSION_NONE;
    } else {
        if (at >= size || data[at] != 0) return TextOutcome::kDropped;
        ++at;
        text.kind = PNG_TEXT_COMPRESSION_zTXt;
    }
    if (compressed) {
        const TextOutcome inflated = InflateText(data + at, size - at, budget, &text.text);
        if (inflated != TextOutcome::kKept) return inflated;
    } else {
        text.text.assign(reinterpret_cast<const char*>(data + at), size - at);
    }
    // The text ends at its first zero byte, as the other texts do.
    text.text.resize(strnlen(text.text.c_str(), text.text.size()));
    text.compressed = compressed ? 1 : 0;
    texts->push_back(std::move(text));
    return TextOutcome::kKept;
}

// The texts of a read that kept them; false when the compressed ones would
// inflate past kTextInflateMax or memory runs out.
bool CollectTexts(png_structp png, png_infop info, std::vector<PixText>* texts) {
    png_unknown_chunkp chunks = nullptr;
    const int count = png_get_unknown_chunks(png, info, &chunks);
    size_t budget = kTextInflateMax;
    try {
        for (int i = 0; i < count; ++i) {
            if (ParseText(chunks[i], &budget, texts) == TextOutcome::kOverBudget) return false;
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

struct PngSize {
    std::FILE* file = nullptr;  // borrowed
    png_structp png = nullptr;
    png_infop info = nullptr;
    png_uint_32 width = 0, height = 0;
};

int SizeBody(PngSize* s) {
    SetLimits(s->png);
    SkipTexts(s->png);
    png_init_io(s->png, s->file);
    png_read_info(s->png, s->info);
    s->width = png_get_image_width(s->png, s->info);
    s->height = png_get_image_height(s->png, s->info);
    return 0;
}

int RunSize(PngSize* s) {
    s->png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, OnPngError, OnPngReadWarning);
    if (s->png == nullptr) return kPixErrPngCreate;
    s->info = png_create_info_struct(s->png);
    if (s->info == nullptr) return kPixErrPngCreate;
    if (setjmp(png_jmpbuf(s->png))) return kPixErrPng;
    return SizeBody(s);
}

struct PngWrite {
    const char* path = nullptr;
    const uint8_t* pixels = nullptr;
    png_uint_32 width = 0, height = 0;
    size_t rowBytes = 0;
    int bitDepth = 0, colourType = 0, interlace = 0;
    const RGBQUAD* palette = nullptr;
    int colours = 0;
    double gamma = 0;
    png_color_16 background{};
    PixDensity density{};
    png_textp texts = nullptr;  // malloc'd array into the thread's text list
    int textCount = 0;

    std::FILE* file = nullptr;  // opened by the body, closed by the entry point
    uint8_t* header = nullptr;  // output held back until the file is opened
    size_t headerSize = 0;
    bool noMemory = false;
    bool writeFailed = false;  // the file refused bytes: a full disk, not a PNG fault
    png_structp png = nullptr;
    png_infop info = nullptr;
    png_colorp plte = nullptr;
};

// Until the file is opened, output collects in memory: png_write_info still
// validates the header (a palette image without PLTE, for one) while it
// writes, and a refused image must not truncate an existing file.
void WriteData(png_structp png, png_bytep data, size_t length) {
    auto* w = static_cast<PngWrite*>(png_get_io_ptr(png));
    if (w->file != nullptr) {
        if (std::fwrite(data, 1, length, w->file) != length) {
            w->writeFailed = true;
            png_error(png, "write failed");
        }
        return;
    }
    if (length > SIZE_MAX - w->headerSize) png_error(png, "header too large");
    auto* grown = static_cast<uint8_t*>(std::realloc(w->header, w->headerSize + length));
    if (grown == nullptr) {
        w->noMemory = true;
        png_error(png, "out of memory");
    }
    std::memcpy(grown + w->headerSize, data, length);
    w->header = grown;
    w->headerSize += length;
}

void FlushData(png_structp png) {
    auto* w = static_cast<PngWrite*>(png_get_io_ptr(png));
    if (w->file != nullptr && std::fflush(w->file) != 0) {
        w->writeFailed = true;
        png_error(png, "flush failed");
    }
}

int WriteBody(PngWrite* w) {
    png_structp png = w->png;
    png_infop info = w->info;
    SetLimits(png);
    png_set_write_fn(png, w, WriteData, FlushData);
    png_set_IHDR(png, info, w->width, w->height, w->bitDepth, w->colourType, w->interlace,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (w->palette != nullptr) {
        // colours proven within 0..256 by the entry point
        w->plte = static_cast<png_colorp>(std::malloc(sizeof(png_color) * (w->colours + 1)));
        if (w->plte == nullptr) return kPixErrWrite;
        for (int k = 0; k < w->colours; ++k) {
            w->plte[k].red = w->palette[k].rgbRed;
            w->plte[k].green = w->palette[k].rgbGreen;
            w->plte[k].blue = w->palette[k].rgbBlue;
        }
        png_set_PLTE(png, info, w->plte, w->colours);
    }
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    if (gmtime_r(&now, &utc) != nullptr) {
        png_time stamp{};
        png_convert_from_struct_tm(&stamp, &utc);
        png_set_tIME(png, info, &stamp);
    }
    png_set_bKGD(png, info, &w->background);
    png_set_pHYs(png, info, static_cast<png_uint_32>(w->density.x),
                 static_cast<png_uint_32>(w->density.y), w->density.unit);
    if (w->gamma > 0.0) png_set_gAMA(png, info, w->gamma);
    if (w->textCount > 0) png_set_text(png, info, w->texts, w->textCount);
    png_write_info(png, info);  // header chunks and texts, before the image data
    png_set_packing(png);       // below 8 bits the rows hold one sample per byte

    if (w->path == nullptr) return kPixErrOpen;
    w->file = std::fopen(w->path, "wb");
    if (w->file == nullptr) return kPixErrOpen;
    if (std::fwrite(w->header, 1, w->headerSize, w->file) != w->headerSize) return kPixErrWrite;

    // 8-bit rows without interlace (every image the application writes) are
    // filtered and compressed here, on all cores; libpng keeps the rest.
    const uint64_t channels = Channels(w->colourType);
    if (w->bitDepth == 8 && w->interlace == PNG_INTERLACE_NONE && channels != 0) {
        PngRows rows;
        rows.pixels = w->pixels;
        rows.height = w->height;
        rows.stride = w->rowBytes;
        rows.rowBytes = static_cast<size_t>(w->width * channels);  // checked against stride
        rows.bpp = static_cast<unsigned>(channels);
        rows.filter = w->colourType != PNG_COLOR_TYPE_PALETTE;
        const int code = WritePngImageData(w->file, rows, writeThreads);
        if (code != 0) return code;
        static const uint8_t kEnd[12] = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xae, 0x42, 0x60, 0x82};
        return std::fwrite(kEnd, 1, sizeof kEnd, w->file) == sizeof kEnd ? 0 : kPixErrWrite;
    }

    const int passes = png_set_interlace_handling(png);
    for (int pass = 0; pass < passes; ++pass) {
        const uint8_t* row = w->pixels;
        for (png_uint_32 y = 0; y < w->height; ++y, row += w->rowBytes) {
            if (PixCancelled()) return kPixErrCancelled;
            png_write_row(png, row);
        }
    }
    png_write_end(png, nullptr);
    return 0;
}

int RunWrite(PngWrite* w) {
    w->png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, OnPngError, DropPngWarning);
    if (w->png == nullptr) return kPixErrPngCreate;
    w->info = png_create_info_struct(w->png);
    if (w->info == nullptr) return kPixErrPngCreate;
    if (setjmp(png_jmpbuf(w->png)))
        return w->noMemory ? kPixErrMemory : w->writeFailed ? kPixErrWrite : kPixErrPngCreate;
    return WriteBody(w);
}

// png_set_text copies what it is given, so the entries point straight into
// the thread's list; only the array is ours to allocate.
int PointAtTexts(const std::vector<PixText>& list, PngWrite* w) {
    if (list.empty()) return 0;
    w->texts = static_cast<png_textp>(std::calloc(list.size(), sizeof(png_text)));
    if (w->texts == nullptr) return kPixErrMemory;
    w->textCount = static_cast<int>(list.size());
    for (size_t k = 0; k < list.size(); ++k) {
        png_text& t = w->texts[k];
        t.compression =
            list[k].compressed != 0 ? PNG_TEXT_COMPRESSION_zTXt : PNG_TEXT_COMPRESSION_NONE;
        t.key = const_cast<char*>(list[k].key.c_str());
        t.text = const_cast<char*>(list[k].text.c_str());
        t.text_length = list[k].text.size();
    }
    return 0;
}

void UseThreadSettings(const PixThreadState& state, PngRead* r) {
    r->screenGamma = state.screenGamma;
    r->background.index = state.background.index;
    r->background.red = state.background.red;
    r->background.green = state.background.green;
    r->background.blue = state.background.blue;
    r->background.gray = state.background.grey;
}

BOOL Failed(int code) {
    PixSetLastError(code);
    return 0;
}

HGLOBAL TextCopy(int index, bool key) {
    const std::vector<PixText>& texts = PixState().pngTextsRead;
    if (index < 0 || static_cast<size_t>(index) >= texts.size()) {
        PixSetLastError(kPixErrParam);
        return nullptr;
    }
    const PixText& entry = texts[static_cast<size_t>(index)];
    HGLOBAL block = PixNewTextBlock(key ? entry.key : entry.text);
    PixSetLastError(block != nullptr ? 0 : kPixErrMemory);
    return block;
}

}  // namespace

HGLOBAL PixReadPNG(const char* path, uint32_t* width, uint32_t* height) {
    if (width == nullptr || height == nullptr) {
        PixSetLastError(kPixErrParam);
        return nullptr;
    }
    *width = 0;
    *height = 0;
    FilePtr file = OpenFile(path, "rb");
    if (!file) {
        PixSetLastError(kPixErrOpen);
        return nullptr;
    }
    PixThreadState& state = PixState();
    state.pngTextsRead.clear();

    PngRead r;
    r.file = file.get();
    r.keepTexts = true;
    UseThreadSettings(state, &r);
    int code = 0;
    HGLOBAL block = ReadPng(&r, &code);
    if (code == 0 && !CollectTexts(r.png, r.info, &state.pngTextsRead)) {
        state.pngTextsRead.clear();
        GlobalFree(block);
        block = nullptr;
        code = kPixErrMemory;
    }
    if (code == 0) {
        png_uint_32 x = 0, y = 0;
        int unit = 0;
        if (png_get_pHYs(r.png, r.info, &x, &y, &unit) != 0) {
            state.pngDensityRead =
                PixDensity{static_cast<int32_t>(x), static_cast<int32_t>(y), unit};
        }
        *width = r.width;
        *height = r.height;
    }
    png_destroy_read_struct(&r.png, &r.info, nullptr);
    PixSetLastError(code);
    return block;
}

HGLOBAL PixReadPNGRows(const char* path, uint32_t* width, uint32_t* height, uint32_t rows,
                       uint32_t* taken) {
    if (width == nullptr || height == nullptr || taken == nullptr) {
        PixSetLastError(kPixErrParam);
        return nullptr;
    }
    *width = *height = *taken = 0;
    FilePtr file = OpenFile(path, "rb");
    if (!file) {
        PixSetLastError(kPixErrOpen);
        return nullptr;
    }
    PngRead r;
    r.file = file.get();
    r.wanted = rows;
    UseThreadSettings(PixState(), &r);
    int code = 0;
    HGLOBAL block = ReadPng(&r, &code);
    if (code == 0) {
        *width = r.width;
        *height = r.height;
        *taken = r.taken;
    }
    png_destroy_read_struct(&r.png, &r.info, nullptr);
    PixSetLastError(code);
    return block;
}

HGLOBAL PixReadPNG8(const char* path, uint32_t* width, uint32_t* height, RGBQUAD* palette) {
    uint32_t taken = 0;
    return PixReadPNG8Rows(path, width, height, palette, UINT32_MAX, &taken);
}

HGLOBAL PixReadPNG8Rows(const char* path, uint32_t* width, uint32_t* height, RGBQUAD* palette,
                        uint32_t rows, uint32_t* taken) {
    if (width == nullptr || height == nullptr || palette == nullptr || taken == nullptr) {
        PixSetLastError(kPixErrParam);
        return nullptr;
    }
    *width = *height = *taken = 0;
    FilePtr file = OpenFile(path, "rb");
    if (!file) {
        PixSetLastError(kPixErrOpen);
        return nullptr;
    }
    PngRead r;
    r.file = file.get();
    r.indexed = true;
    r.wanted = rows;
    int code = 0;
    HGLOBAL block = ReadPng(&r, &code);
    if (code == 0) {
        png_colorp entries = nullptr;
        int count = 0;
        if (png_get_PLTE(r.png, r.info, &entries, &count) == 0) count = 0;
        for (int k = 0; k < kPixPaletteEntries; ++k) {
            const png_color c = k < count ? entries[k] : png_color{0, 0, 0};
            palette[k].rgbBlue = c.blue;
            palette[k].rgbGreen = c.green;
            palette[k].rgbRed = c.red;
        }
        *width = r.width;
        *height = r.height;
        *taken = r.taken;
    }
    png_destroy_read_struct(&r.png, &r.info, nullptr);
    PixSetLastError(code);
    return block;
}

BOOL PixGetPNGSize(const char* path, uint32_t* width, uint32_t* height) {
    if (width == nullptr || height == nullptr) return Failed(kPixErrParam);
    *width = 0;
    *height = 0;
    FilePtr file = OpenFile(path, "rb");
    if (!file) return Failed(kPixErrOpen);
    PngSize s;
    s.file = file.get();
    const int code = RunSize(&s);
    png_destroy_read_struct(&s.png, &s.info, nullptr);
    if (code != 0) return Failed(code);
    *width = s.width;
    *height = s.height;
    PixSetLastError(0);
    return 1;
}

BOOL PixWritePNG(const char* path, const uint8_t* pixels, uint32_t width, uint32_t height,
                 double gamma) {
    return PixWritePNGEx(path, pixels, width, height, width * 3, 8, 16777216, nullptr,
                         PNG_COLOR_TYPE_RGB, gamma, 0, PNG_INTERLACE_NONE);
}

BOOL PixWritePNG8(const char* path, const uint8_t* pixels, uint32_t width, uint32_t height,
                  int colours, const RGBQUAD* palette, double gamma) {
    return PixWritePNGEx(path, pixels, width, height, width, 8, colours, palette,
                         PNG_COLOR_TYPE_PALETTE, gamma, 0, PNG_INTERLACE_NONE);
}

BOOL PixWritePNGEx(const char* path, const uint8_t* pixels, uint32_t width, uint32_t height,
                   uint32_t rowBytes, int bitDepth, int colours, const RGBQUAD* palette,
                   int colourType, double gamma, int32_t /*reserved*/, int interlace) {
    if (pixels == nullptr) return Failed(kPixErrParam);
    // The caller's palette has 256 entries; libpng would read each row's
    // full width from the caller's buffer.
    if (palette != nullptr && (colours < 0 || colours > kPixPaletteEntries)) {
        return Failed(kPixErrParam);
    }
    const uint64_t channels = Channels(colourType);
    if (channels != 0 && rowBytes < uint64_t{width} * channels * (bitDepth > 8 ? 2 : 1)) {
        return Failed(kPixErrParam);
    }

    PixThreadState& state = PixState();
    PngWrite w;
    w.path = path;
    w.pixels = pixels;
    w.width = width;
    w.height = height;
    w.rowBytes = rowBytes;
    w.bitDepth = bitDepth;
    w.colourType = colourType;
    w.interlace = interlace;
    w.palette = palette;
    w.colours = colours;
    w.gamma = gamma;
    w.background.index = state.background.index;
    w.background.red = state.background.red;
    w.background.green = state.background.green;
    w.background.blue = state.background.blue;
    w.background.gray = state.background.grey;
    w.density = state.pngDensityWrite;

    int code = PointAtTexts(state.pngTextsWrite, &w);
    if (code == 0) code = RunWrite(&w);
    png_destroy_write_struct(&w.png, &w.info);
    // stdio holds the file's tail until fclose; a failed flush is a failed write.
    if (w.file != nullptr && std::fclose(w.file) != 0 && code == 0) code = kPixErrWrite;
    std::free(w.texts);
    std::free(w.plte);
    std::free(w.header);
    if (code != 0) return Failed(code);
    state.pngTextsWrite.clear();
    PixSetLastError(0);
    return 1;
}

unsigned PixSetPNGWriteThreads(unsigned threads) {
    const unsigned previous = writeThreads;
    writeThreads = threads;
    return previous;
}

double PixSetPNGGamma(double gamma) {
    PixThreadState& state = PixState();
    const double previous = state.screenGamma;
    state.screenGamma = gamma;
    return previous;
}

void PixSetPNGBackground(uint8_t index, uint16_t red, uint16_t green, uint16_t blue,
                         uint16_t grey) {
    PixState().background = PixBackground{index, red, green, blue, grey};
}

void PixClearPNGText() {
    PixThreadState& state = PixState();
    state.pngTextsRead.clear();
    state.pngTextsWrite.clear();
    PixSetLastError(0);
}

BOOL PixAddPNGText(const char* key, const char* text, int32_t compressed) {
    PixSetLastError(0);
    if (key == nullptr || *key == '\0') return 0;
    try {
        PixState().pngTextsWrite.push_back(PixText{key, text != nullptr ? text : "", compressed});
    } catch (const std::bad_alloc&) {
        return PixSetLastError(kPixErrMemory), 0;
    }
    return 1;
}

int PixGetPNGTextCount() {
    PixSetLastError(0);
    return static_cast<int>(PixState().pngTextsRead.size());
}

HGLOBAL PixGetPNGTextKey(int index) {
    return TextCopy(index, true);
}

HGLOBAL PixGetPNGTextValue(int index) {
    return TextCopy(index, false);
}

int32_t PixGetPNGTextCompressed(int index) {
    const std::vector<PixText>& texts = PixState().pngTextsRead;
    if (index < 0 || static_cast<size_t>(index) >= texts.size()) {
        PixSetLastError(kPixErrParam);
        return -1;
    }
    PixSetLastError(0);
    return texts[static_cast<size_t>(index)].compressed;
}
