// SPDX-License-Identifier: GPL-3.0-or-later
// TIFF reader and writers over libtiff 4.
#include "imagelib/tiff.h"

#include <sys/stat.h>
#include <tiffio.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "imagelib/common.h"

namespace {

// libtiff's default handlers print to stderr; ours send each message to the
// debugger output as one line.
void SendTiffMessage(const char* module, const char* format, va_list args) {
    char text[1024];
    std::vsnprintf(text, sizeof text, format, args);
    if (module != nullptr) {
        OutputDebugStringA(module);
        OutputDebugStringA(": ");
    }
    OutputDebugStringA(text);
    OutputDebugStringA("\n");
}

// The handlers are process-wide in libtiff; set them once, before the first
// handle is opened, so no message of any thread reaches stderr.
void InstallTiffHandlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        TIFFSetErrorHandler(SendTiffMessage);
        TIFFSetWarningHandler(SendTiffMessage);
    });
}

struct TiffCloser {
    void operator()(TIFF* tif) const { TIFFClose(tif); }
};
using TiffPtr = std::unique_ptr<TIFF, TiffCloser>;

// No single libtiff allocation may exceed the largest raster the reader
// itself would take: a damaged directory (65535 samples per pixel, say) then
// fails cleanly instead of asking for hundreds of gigabytes.
constexpr tmsize_t kTiffMaxSingleAlloc = static_cast<tmsize_t>(kPixMaxPixels * 4);

TiffPtr OpenTiff(const char* path, const char* mode,
                 uint64_t maxSingleAlloc = kTiffMaxSingleAlloc) {
    InstallTiffHandlers();
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    const auto limit = static_cast<tmsize_t>(std::min<uint64_t>(maxSingleAlloc, INT64_MAX));
    if (options != nullptr) TIFFOpenOptionsSetMaxSingleMemAlloc(options, limit);
    TIFF* tif = TIFFOpenExt(path, mode, options);
    TIFFOpenOptionsFree(options);
    return TiffPtr(tif);
}

// The readers' working-memory cap for the file at `path`; libtiff is held
// to it too, since every buffer it allocates while reading is working memory.
uint64_t ReadCap(const char* path) {
    struct stat info {};
    return WorkCap(stat(path, &info) == 0 && info.st_size > 0 ? info.st_size : 0);
}

// The largest buffer the RGBA interface allocates to decode: one whole strip
// or tile, of every plane for a separate-plane file. A one-strip file needs
// the picture decoded whole, however small its compressed data.
uint64_t DecodeBufferBytes(TIFF* tif) {
    uint16_t planar = PLANARCONFIG_CONTIG;
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    const uint64_t unit = TIFFIsTiled(tif) ? TIFFTileSize64(tif) : TIFFStripSize64(tif);
    return planar == PLANARCONFIG_SEPARATE ? unit * 4 : unit;
}

// Whether every strip or tile has bytes of its own. Strips that all point
// at one run of bytes make a 33 kB file decode like a huge one (each strip
// decodes again), and a picture whose data cannot fill it; such files are
// refused. Empty ones (a sparse file's blank tiles) read as zeros, and the
// part of one past the end of the file (a truncated file) stays black, so
// both are let be. A file lists each offset in two bytes or more, so a
// count beyond its size is refused before anything is gathered.
bool StrilesOwnTheirBytes(TIFF* tif) {
    const uint64_t fileBytes = TIFFGetSizeProc(tif)(TIFFClientdata(tif));
    const uint32_t count = TIFFIsTiled(tif) ? TIFFNumberOfTiles(tif) : TIFFNumberOfStrips(tif);
    if (count > fileBytes) return false;
    std::vector<std::pair<uint64_t, uint64_t>> spans;  // start, end within the file
    for (uint32_t i = 0; i < count; ++i) {
        const uint64_t offset = TIFFGetStrileOffset(tif, i);
        const uint64_t stored = TIFFGetStrileByteCount(tif, i);
        if (offset >= fileBytes || stored == 0) continue;
        spans.emplace_back(offset, offset + std::min(stored, fileBytes - offset));
    }
    std::sort(spans.begin(), spans.end());
    for (size_t i = 1; i < spans.size(); ++i) {
        if (spans[i].first < spans[i - 1].second) return false;
    }
    return true;
}

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

// Truncates toward zero; NaN and values beyond int32 (a damaged rational)
// are clamped instead of being undefined behaviour.
int32_t TruncateResolution(float value) {
    if (std::isnan(value)) return 0;
    if (value >= 2147483648.0f) return INT32_MAX;
    if (value <= -2147483648.0f) return INT32_MIN;
    return static_cast<int32_t>(value);
}

// Fields the file lacks read as the record's initial 1, so nothing from an
// earlier file survives.
void ReadResolution(TIFF* tif) {
    PixResolution& read = PixState().tiffResolutionRead;
    read = PixResolution{1, 1, 1};
    uint16_t unit = 0;
    float x = 0, y = 0;
    if (TIFFGetField(tif, TIFFTAG_RESOLUTIONUNIT, &unit)) read.unit = unit;
    if (TIFFGetField(tif, TIFFTAG_XRESOLUTION, &x)) read.x = TruncateResolution(x);
    if (TIFFGetField(tif, TIFFTAG_YRESOLUTION, &y)) read.y = TruncateResolution(y);
}

void ClearSize(uint32_t* width, uint32_t* height) {
    if (width != nullptr) *width = 0;
    if (height != nullptr) *height = 0;
}

// Packs `count` RGBA words (as TIFFRGBAImageGet leaves them) into RGB bytes
// at `out`, which may start anywhere at or below `raster`: pixel i is read
// before bytes 3i..3i+3 are written, and 3i + 3 < 4(i + 1), so no word is
// overwritten before it is read.
void CompactPixels(const uint32_t* raster, size_t count, uint8_t* out) {
    if (count == 0) return;
    if constexpr (std::endian::native == std::endian::little) {
        // Bytes 0..2 of each word are red, green, blue: store the whole word
        // and let the next pixel overwrite its alpha byte. The first words
        // overlap their own destination, hence memmove (one load, one store).
        for (size_t i = 0; i + 1 < count; ++i) std::memmove(out + 3 * i, raster + i, 4);
        const uint32_t last = raster[count - 1];
        std::memcpy(out + 3 * (count - 1), &last, 3);
    } else {
        for (size_t i = 0; i < count; ++i) {
            const uint32_t abgr = raster[i];
            out[3 * i] = static_cast<uint8_t>(TIFFGetR(abgr));
            out[3 * i + 1] = static_cast<uint8_t>(TIFFGetG(abgr));
            out[3 * i + 2] = static_cast<uint8_t>(TIFFGetB(abgr));
        }
    }
}

struct RgbaImage {
    TIFFRGBAImage img{};
    bool begun = false;
    ~RgbaImage() {
        if (begun) TIFFRGBAImageEnd(&img);
    }
};

// Rows decoded per band: whole strips or tiles (so none is decoded twice),
// as many as fit about 1 MiB of raster, so each band is packed while it is
// still in cache.
uint32_t BandRows(TIFF* tif, uint32_t width, uint32_t height) {
    uint32_t unit = height;
    if (TIFFIsTiled(tif))
        TIFFGetField(tif, TIFFTAG_TILELENGTH, &unit);
    else
        TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &unit);
    unit = std::clamp<uint32_t>(unit, 1, height);
    const uint64_t rowBytes = uint64_t{width} * 4;
    const uint64_t units = std::max<uint64_t>(1, (uint64_t{1} << 20) / (rowBytes * unit));
    return static_cast<uint32_t>(std::min<uint64_t>(height, units * unit));
}

// Decodes the picture band by band into the block with libtiff's RGBA
// interface and packs each band to 3 bytes per pixel in place. The output is
// top row first: libtiff turns rows within a band for the requested top-left
// orientation, and bands of a bottom-up file are taken from its end.
//
// Every band starts on a strip or tile boundary of the file: libtiff cannot
// start inside a subsampled YCbCr row group. A bottom-up file is taken from
// its end, so there the first band holds the rows left over.
//
// The band starting at output row d is decoded at the first 4-byte boundary
// at or after its packed position 3dw; that fits, since the band ends at most
// at 4(d + rows)w, and packing it moves every pixel down.
//
// Only the bands that hold the top `wanted` rows are decoded, the same bands
// a whole read decodes first, so they come out the same; the block is sized
// for them, 4 bytes a pixel, and *taken gives their rows. A file stored in
// one strip is thus read whole.
int DecodeRgba(TIFF* tif, uint32_t width, uint32_t height, uint32_t wanted, HGLOBAL* result,
               uint32_t* taken) {
    RgbaImage rgba;
    char message[1024];
    // stop-on-error 0: a damaged strip or tile stays black rather than
    // losing the whole picture.
    if (!TIFFRGBAImageBegin(&rgba.img, tif, 0, message)) return kPixErrTiff;
    rgba.begun = true;
    rgba.img.req_orientation = ORIENTATION_TOPLEFT;
    const uint16_t stored = rgba.img.orientation;
    const bool bottomUp = stored == ORIENTATION_BOTLEFT || stored == ORIENTATION_BOTRIGHT ||
                          stored == ORIENTATION_LEFTBOT || stored == ORIENTATION_RIGHTBOT;
    const uint32_t band = BandRows(tif, width, height);
    const uint32_t first = bottomUp && height % band != 0 ? height % band : band;
    const uint32_t reach = std::min(wanted, height);
    const uint32_t decoded =
        reach <= first ? first : std::min(height, first + (reach - first + band - 1) / band * band);
    size_t bytes = 0;
    if (!ImageBytes(width, decoded, 4, &bytes)) return kPixErrMemory;
    GlobalBlock block(bytes);  // size proven by ImageBytes
    if (!block) return kPixErrMemory;
    uint32_t rows = first;
    for (uint32_t done = 0; done < decoded; done += rows, rows = std::min(band, height - done)) {
        const size_t packed = size_t{done} * width * 3;
        auto* raster = reinterpret_cast<uint32_t*>(block.data() + (packed + 3) / 4 * 4);
        rgba.img.row_offset = static_cast<int>(bottomUp ? height - done - rows : done);
        rgba.img.col_offset = 0;
        if (PixCancelled()) return kPixErrCancelled;
        if (!TIFFRGBAImageGet(&rgba.img, raster, width, rows)) return kPixErrTiff;
        CompactPixels(raster, size_t{rows} * width, block.data() + packed);
    }
    *taken = decoded;
    *result = block.release();
    return 0;
}

int ReadRgb(const char* path, uint32_t wanted, uint32_t* width, uint32_t* height, uint32_t* taken,
            HGLOBAL* result) {
    const uint64_t cap = ReadCap(path);
    TiffPtr tif = OpenTiff(path, "r", cap);
    if (!tif) return kPixErrOpen;
    char message[1024];
    if (!TIFFRGBAImageOK(tif.get(), message)) return kPixErrTiff;
    uint32_t w = 0, h = 0;
    TIFFGetField(tif.get(), TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(tif.get(), TIFFTAG_IMAGELENGTH, &h);
    ReadResolution(tif.get());
    if (w == 0 || h == 0) return kPixErrTiff;
    size_t bytes = 0;
    // The header's claim is bounded whole, however few rows are read.
    if (!ImageBytes(w, h, 4, &bytes)) return kPixErrMemory;
    if (DecodeBufferBytes(tif.get()) > cap) return kPixErrMemory;
    if (!StrilesOwnTheirBytes(tif.get())) return kPixErrTiff;
    const int rc = DecodeRgba(tif.get(), w, h, wanted, result, taken);
    if (rc != 0) return rc;
    *width = w;
    *height = h;
    return 0;
}

// ---- 8-bit reader ----

struct IndexImage {
    uint32_t width = 0, height = 0;
    uint32_t taken = 0;  // rows read, from the top
    uint16_t bits = 0;
    size_t rowBytes = 0;  // packed bytes of one decoded row
    uint8_t* out = nullptr;
    uint64_t cap = 0;  // working memory allowed
};

// One packed row of `count` pixels, first pixel in the most significant bits
// of the first byte, to one index per byte.
void UnpackRow(const uint8_t* packed, uint16_t bits, uint32_t first, uint32_t count, uint8_t* out) {
    if (bits == 8) {
        std::memcpy(out, packed + first, count);
        return;
    }
    const unsigned mask = (1u << bits) - 1;
    for (uint32_t i = 0; i < count; ++i) {
        const size_t bit = size_t{first + i} * bits;
        const unsigned shift = 8 - bits - static_cast<unsigned>(bit & 7);
        out[i] = static_cast<uint8_t>((packed[bit >> 3] >> shift) & mask);
    }
}

int ReadIndexStrips(TIFF* tif, const IndexImage& img) {
    uint32_t rowsPerStrip = img.height;
    TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &rowsPerStrip);
    rowsPerStrip = std::clamp<uint32_t>(rowsPerStrip, 1, img.height);
    size_t stripBytes = 0;
    if (!MulSize(img.rowBytes, rowsPerStrip, &stripBytes) || stripBytes > img.cap)
        return kPixErrMemory;
    std::unique_ptr<uint8_t, FreeDeleter> strip(static_cast<uint8_t*>(std::malloc(stripBytes)));
    if (!strip) return kPixErrMemory;
    for (uint32_t row = 0; row < img.taken; row += rowsPerStrip) {
        const uint32_t rows = std::min(rowsPerStrip, img.height - row);
        const tmsize_t want = static_cast<tmsize_t>(img.rowBytes * rows);
        const tstrip_t index = TIFFComputeStrip(tif, row, 0);
        if (PixCancelled()) return kPixErrCancelled;
        if (TIFFReadEncodedStrip(tif, index, strip.get(), want) < want) return kPixErrTiff;
        for (uint32_t r = 0; r < std::min(rows, img.taken - row); ++r)
            UnpackRow(strip.get() + r * img.rowBytes, img.bits, 0, img.width,
                      img.out + size_t{row + r} * img.width);
    }
    return 0;
}

// Whether every tile's stored bytes lie in the file and could hold the
// decoded tile: all of it uncompressed, and a thousandth of a tile over
// 100 MB otherwise, the bound libtiff's own tile reader applies before it
// allocates (libtiff issue 479). Without it a 2 KB file whose tiles claimed
// 65536 x 32768 pixels got a 2 GB tile buffer.
bool TilesPlausible(TIFF* tif, tmsize_t tileBytes) {
    const uint64_t fileBytes = TIFFGetSizeProc(tif)(TIFFClientdata(tif));
    uint16_t compression = COMPRESSION_NONE;
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
    const uint64_t decoded = static_cast<uint64_t>(tileBytes);
    const uint64_t least = compression == COMPRESSION_NONE ? decoded
                           : decoded > 100'000'000         ? decoded / 1000
                                                           : 1;
    for (uint32_t t = 0; t < TIFFNumberOfTiles(tif); ++t) {
        const uint64_t offset = TIFFGetStrileOffset(tif, t);
        const uint64_t stored = TIFFGetStrileByteCount(tif, t);
        if (stored < least || offset > fileBytes || stored > fileBytes - offset) return false;
    }
    return true;
}

int ReadIndexTiles(TIFF* tif, const IndexImage& img) {
    uint32_t tileWidth = 0, tileLength = 0;
    TIFFGetField(tif, TIFFTAG_TILEWIDTH, &tileWidth);
    TIFFGetField(tif, TIFFTAG_TILELENGTH, &tileLength);
    const tmsize_t tileRowBytes = TIFFTileRowSize(tif);
    const tmsize_t tileBytes = TIFFTileSize(tif);
    if (tileWidth == 0 || tileLength == 0 || tileRowBytes <= 0 || tileBytes <= 0)
        return kPixErrTiff;
    // The tile's size is the file's claim, whatever the picture's: bound it
    // as a picture is bound.
    if (uint64_t{tileWidth} * tileLength > kPixMaxPixels ||
        static_cast<uint64_t>(tileBytes) > img.cap)
        return kPixErrMemory;
    // The tile's own arithmetic, checked here rather than trusted.
    if (static_cast<uint64_t>(tileRowBytes) * tileLength > static_cast<uint64_t>(tileBytes) ||
        (uint64_t{tileWidth} * img.bits + 7) / 8 > static_cast<uint64_t>(tileRowBytes))
        return kPixErrTiff;
    if (!TilesPlausible(tif, tileBytes)) return kPixErrTiff;
    std::unique_ptr<uint8_t, FreeDeleter> tile(
        static_cast<uint8_t*>(std::malloc(static_cast<size_t>(tileBytes))));
    if (!tile) return kPixErrMemory;
    for (uint32_t y = 0; y < img.taken; y += tileLength) {
        for (uint32_t x = 0; x < img.width; x += tileWidth) {
            const ttile_t index = TIFFComputeTile(tif, x, y, 0, 0);
            if (PixCancelled()) return kPixErrCancelled;
            if (TIFFReadEncodedTile(tif, index, tile.get(), tileBytes) < tileBytes)
                return kPixErrTiff;
            const uint32_t rows = std::min(tileLength, img.taken - y);
            const uint32_t columns = std::min(tileWidth, img.width - x);
            for (uint32_t r = 0; r < rows; ++r)
                UnpackRow(tile.get() + r * static_cast<size_t>(tileRowBytes), img.bits, 0, columns,
                          img.out + size_t{y + r} * img.width + x);
        }
    }
    return 0;
}

// The same turns libtiff's RGBA interface applies for a top-left picture, so
// palette[index] matches what PixReadTIFF returns. Orientations 5 to 8 are
// not transposed there either.
void Orient(uint8_t* pixels, uint32_t width, uint32_t height, uint16_t orientation) {
    const bool mirror = orientation == ORIENTATION_TOPRIGHT ||
                        orientation == ORIENTATION_RIGHTTOP ||
                        orientation == ORIENTATION_BOTRIGHT || orientation == ORIENTATION_RIGHTBOT;
    const bool flip = orientation == ORIENTATION_BOTRIGHT || orientation == ORIENTATION_RIGHTBOT ||
                      orientation == ORIENTATION_BOTLEFT || orientation == ORIENTATION_LEFTBOT;
    if (mirror)
        for (uint32_t y = 0; y < height; ++y)
            std::reverse(pixels + size_t{y} * width, pixels + size_t{y + 1} * width);
    if (flip)
        for (uint32_t top = 0, bottom = height - 1; top < bottom; ++top, --bottom)
            std::swap_ranges(pixels + size_t{top} * width, pixels + size_t{top + 1} * width,
                             pixels + size_t{bottom} * width);
}

// libtiff's RGBA interface treats a ColorMap whose values all fit in a byte
// as an 8-bit map; otherwise it keeps the high byte.
void FillPalette(const uint16_t* red, const uint16_t* green, const uint16_t* blue, size_t count,
                 RGBQUAD* palette) {
    bool eightBit = true;
    for (size_t k = 0; k < count; ++k)
        if (red[k] >= 256 || green[k] >= 256 || blue[k] >= 256) eightBit = false;
    const int shift = eightBit ? 0 : 8;
    for (size_t k = 0; k < kPixPaletteEntries; ++k) {
        palette[k].rgbRed = k < count ? static_cast<uint8_t>(red[k] >> shift) : 0;
        palette[k].rgbGreen = k < count ? static_cast<uint8_t>(green[k] >> shift) : 0;
        palette[k].rgbBlue = k < count ? static_cast<uint8_t>(blue[k] >> shift) : 0;
    }
}

// Reads the top `wanted` rows, or every row of a file stored bottom up.
int ReadIndexed(const char* path, uint32_t wanted, uint32_t* width, uint32_t* height,
                uint32_t* taken, RGBQUAD* palette, HGLOBAL* result) {
    const uint64_t cap = ReadCap(path);
    TiffPtr tif = OpenTiff(path, "r", cap);
    if (!tif) return kPixErrOpen;
    TIFF* t = tif.get();
    uint16_t photometric = 0, samples = 1, bits = 1, orientation = ORIENTATION_TOPLEFT;
    if (!TIFFGetField(t, TIFFTAG_PHOTOMETRIC, &photometric) || photometric != PHOTOMETRIC_PALETTE)
        return kPixErrDepth;
    TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &bits);
    if (samples != 1 || (bits != 1 && bits != 2 && bits != 4 && bits != 8)) return kPixErrDepth;
    uint16_t *red = nullptr, *green = nullptr, *blue = nullptr;
    if (!TIFFGetField(t, TIFFTAG_COLORMAP, &red, &green, &blue)) return kPixErrTiff;
    TIFFGetFieldDefaulted(t, TIFFTAG_ORIENTATION, &orientation);

    IndexImage img;
    TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &img.width);
    TIFFGetField(t, TIFFTAG_IMAGELENGTH, &img.height);
    img.bits = bits;
    img.cap = cap;
    if (img.width == 0 || img.height == 0) return kPixErrTiff;
    size_t bytes = 0;
    if (!ImageBytes(img.width, img.height, 1, &bytes)) return kPixErrMemory;
    // A bottom-up file's top rows are its last: those files are read whole.
    const bool flip = orientation == ORIENTATION_BOTRIGHT || orientation == ORIENTATION_RIGHTBOT ||
                      orientation == ORIENTATION_BOTLEFT || orientation == ORIENTATION_LEFTBOT;
    img.taken = flip ? img.height : std::min(wanted, img.height);
    bytes = size_t{img.width} * img.taken;
    img.rowBytes = (size_t{img.width} * bits + 7) / 8;
    const tmsize_t scanline = TIFFScanlineSize(t);
    if (scanline <= 0 || static_cast<size_t>(scanline) != img.rowBytes) return kPixErrTiff;
    if (!StrilesOwnTheirBytes(t)) return kPixErrTiff;

    GlobalBlock block(bytes);  // size proven by ImageBytes
    if (!block) return kPixErrMemory;
    img.out = block.data();
    const int rc = TIFFIsTiled(t) ? ReadIndexTiles(t, img) : ReadIndexStrips(t, img);
    if (rc != 0) return rc;
    FillPalette(red, green, blue, size_t{1} << bits, palette);
    ReadResolution(t);
    Orient(img.out, img.width, img.taken, orientation);
    *width = img.width;
    *height = img.height;
    *taken = img.taken;
    *result = block.release();
    return 0;
}

// ---- writers ----

// The state of one file being written, kept in a movable block between the
// three calls below.
struct TiffWriteState {
    TIFF* tiff;
    uint32_t rowsWritten;
    uint32_t height;
    int32_t bits;
};

// "Pixmod / Pixkit, using " and the version number from the first line of
// TIFFGetVersion ("LIBTIFF, Version 4.5.0\n...").
std::string SoftwareText() {
    std::string version = TIFFGetVersion();
    version = version.substr(0, version.find('\n'));
    const std::string marker = "Version ";
    const size_t at = version.find(marker);
    if (at != std::string::npos) version = version.substr(at + marker.size());
    version = version.substr(0, version.find_first_of(" \t\r"));
    return "Pixmod / Pixkit, using " + version;
}

void SetTags(TIFF* tif, uint32_t width, uint32_t height, int bits, const RGBQUAD* palette) {
    const PixResolution& res = PixState().tiffResolutionWrite;
    const std::string software = SoftwareText();
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
    TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, static_cast<uint16_t>(res.unit));
    TIFFSetField(tif, TIFFTAG_XRESOLUTION, static_cast<double>(res.x));
    TIFFSetField(tif, TIFFTAG_YRESOLUTION, static_cast<double>(res.y));
    TIFFSetField(tif, TIFFTAG_SOFTWARE, software.c_str());
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    // Asked before the sample format is set, so libtiff sizes strips for
    // one 1-bit sample per pixel: 8192 / ceil(width / 8) rows, at least 1.
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tif, 0));
    if (bits == 24) {
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
        TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
        return;
    }
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_PALETTE);
    // 16-bit ColorMap entries: byte b becomes b * 257, so 255 is 65535.
    uint16_t red[kPixPaletteEntries], green[kPixPaletteEntries], blue[kPixPaletteEntries];
    for (int k = 0; k < kPixPaletteEntries; ++k) {
        red[k] = static_cast<uint16_t>(palette[k].rgbRed * 257);
        green[k] = static_cast<uint16_t>(palette[k].rgbGreen * 257);
        blue[k] = static_cast<uint16_t>(palette[k].rgbBlue * 257);
    }
    TIFFSetField(tif, TIFFTAG_COLORMAP, red, green, blue);
}

// Opens `path` for writing and sets every tag; null with the code in *code.
HGLOBAL BeginTIFFWrite(const char* path, uint32_t width, uint32_t height, int bits,
                       const RGBQUAD* palette, int* code) {
    if (path == nullptr || width == 0 || height == 0 || (bits != 24 && bits != 8) ||
        (bits == 8 && palette == nullptr)) {
        *code = kPixErrParam;
        return nullptr;
    }
    GlobalBlock block(sizeof(TiffWriteState));
    if (!block) {
        *code = kPixErrMemory;
        return nullptr;
    }
    TIFF* tif = OpenTiff(path, "w").release();
    if (tif == nullptr) {
        *code = kPixErrOpen;
        return nullptr;
    }
    auto* state = reinterpret_cast<TiffWriteState*>(block.data());
    *state = TiffWriteState{tif, 0, height, bits};
    SetTags(tif, width, height, bits, palette);
    *code = 0;
    return block.release();
}

// Hands the next row to libtiff; 4 when it cannot write it, 5 past the last
// row or on a bad handle.
int WriteTIFFRow(HGLOBAL handle, const uint8_t* row) {
    auto* state = static_cast<TiffWriteState*>(GlobalLock(handle));
    if (state == nullptr) return kPixErrParam;
    int code = 0;
    if (state->rowsWritten >= state->height) {
        code = kPixErrParam;
    } else if (TIFFWriteScanline(state->tiff, const_cast<uint8_t*>(row),  // not modified
                                 state->rowsWritten, 0) < 0) {
        code = kPixErrWrite;
    } else {
        ++state->rowsWritten;
    }
    GlobalUnlock(handle);
    return code;
}

// Flushes and closes the file and frees the state. The last strip and the
// directory are written here, so a full disk shows up now: 4 then.
int EndTIFFWrite(HGLOBAL handle) {
    auto* state = static_cast<TiffWriteState*>(GlobalLock(handle));
    if (state == nullptr) return kPixErrParam;
    int code = 0;
    if (TIFFFlush(state->tiff) != 1) code = kPixErrWrite;
    TIFFClose(state->tiff);
    GlobalUnlock(handle);
    GlobalFree(handle);
    return code;
}

int WriteImage(const char* path, const uint8_t* pixels, uint32_t width, uint32_t height, int bits,
               const RGBQUAD* palette) {
    const size_t stride = size_t{width} * (bits / 8);
    size_t total = 0;
    if (!MulSize(stride, height, &total)) return kPixErrParam;  // no such buffer can exist
    int code = 0;
    HGLOBAL state = BeginTIFFWrite(path, width, height, bits, palette, &code);
    if (state == nullptr) return code;
    for (uint32_t r = 0; r < height && code == 0; ++r)
        code = PixCancelled() ? int{kPixErrCancelled} : WriteTIFFRow(state, pixels + r * stride);
    const int closed = EndTIFFWrite(state);
    return code != 0 ? code : closed;
}

}  // namespace

HGLOBAL PixReadTIFF(const char* path, uint32_t* width, uint32_t* height) {
    uint32_t taken = 0;
    return PixReadTIFFRows(path, width, height, UINT32_MAX, &taken);
}

HGLOBAL PixReadTIFFRows(const char* path, uint32_t* width, uint32_t* height, uint32_t rows,
                        uint32_t* taken) {
    ClearSize(width, height);
    if (taken != nullptr) *taken = 0;
    if (path == nullptr || width == nullptr || height == nullptr || taken == nullptr) {
        PixSetLastError(kPixErrParam);
        return nullptr;
    }
    HGLOBAL result = nullptr;
    PixSetLastError(ReadRgb(path, rows, width, height, taken, &result));
    return result;
}

HGLOBAL PixReadTIFF8(const char* path, uint32_t* width, uint32_t* height, RGBQUAD* palette) {
    uint32_t taken = 0;
    return PixReadTIFF8Rows(path, width, height, palette, UINT32_MAX, &taken);
}

HGLOBAL PixReadTIFF8Rows(const char* path, uint32_t* width, uint32_t* height, RGBQUAD* palette,
                         uint32_t rows, uint32_t* taken) {
    ClearSize(width, height);
    if (taken != nullptr) *taken = 0;
    if (path == nullptr || width == nullptr || height == nullptr || palette == nullptr ||
        taken == nullptr) {
        PixSetLastError(kPixErrParam);
        return nullptr;
    }
    HGLOBAL result = nullptr;
    PixSetLastError(ReadIndexed(path, rows, width, height, taken, palette, &result));
    return result;
}

BOOL PixWriteTIFF(const char* path, const uint8_t* pixels, uint32_t width, uint32_t height) {
    if (path == nullptr || pixels == nullptr) return PixSetLastError(kPixErrParam), 0;
    return PixSetLastError(WriteImage(path, pixels, width, height, 24, nullptr)) == 0;
}

BOOL PixWriteTIFF8(const char* path, const uint8_t* pixels, uint32_t width, uint32_t height,
                   const RGBQUAD* palette) {
    if (pixels == nullptr || palette == nullptr) return PixSetLastError(kPixErrParam), 0;
    return PixSetLastError(WriteImage(path, pixels, width, height, 8, palette)) == 0;
}

BOOL PixGetTIFFSize(const char* path, uint32_t* width, uint32_t* height) {
    ClearSize(width, height);
    if (path == nullptr || width == nullptr || height == nullptr)
        return PixSetLastError(kPixErrParam), 0;
    TiffPtr tif = OpenTiff(path, "r");
    if (!tif) return PixSetLastError(kPixErrOpen), 0;
    TIFFGetField(tif.get(), TIFFTAG_IMAGEWIDTH, width);
    TIFFGetField(tif.get(), TIFFTAG_IMAGELENGTH, height);
    ReadResolution(tif.get());
    PixSetLastError(0);
    return 1;
}
