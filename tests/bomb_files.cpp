// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/bomb_files.h"

#include <tiffio.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <vector>

// jpeglib.h expects FILE and size_t to be declared before it.
extern "C" {
#include <jpeglib.h>
}

namespace {

void PutBE32(Bytes* out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out->push_back(static_cast<uint8_t>(v >> shift));
}

void AppendChunk(Bytes* png, const char* type, const Bytes& data) {
    PutBE32(png, static_cast<uint32_t>(data.size()));
    const size_t start = png->size();
    png->insert(png->end(), type, type + 4);
    png->insert(png->end(), data.begin(), data.end());
    PutBE32(png, static_cast<uint32_t>(crc32(0, png->data() + start, png->size() - start)));
}

Bytes PngHead(uint32_t width, uint32_t height, uint8_t depth, uint8_t colourType,
              bool interlaced = false) {
    Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    Bytes ihdr;
    PutBE32(&ihdr, width);
    PutBE32(&ihdr, height);
    ihdr.insert(ihdr.end(), {depth, colourType, 0, 0, static_cast<uint8_t>(interlaced ? 1 : 0)});
    AppendChunk(&png, "IHDR", ihdr);
    return png;
}

// Deflates `zeros` zero bytes, finishing the stream or only flushing it.
Bytes DeflateZeros(uint64_t zeros, bool finish, void (*sink)(Bytes*, void*) = nullptr,
                   void* context = nullptr) {
    z_stream z{};
    if (deflateInit(&z, Z_BEST_COMPRESSION) != Z_OK) throw std::runtime_error("deflateInit");
    static const Bytes kZeros(1 << 20, 0);
    Bytes out, buffer(1 << 16);
    while (true) {
        const size_t take = static_cast<size_t>(std::min<uint64_t>(zeros, kZeros.size()));
        zeros -= take;
        z.next_in = const_cast<Bytef*>(kZeros.data());
        z.avail_in = static_cast<uInt>(take);
        const int flush = zeros != 0 ? Z_NO_FLUSH : finish ? Z_FINISH : Z_SYNC_FLUSH;
        int rc = Z_OK;
        do {
            z.next_out = buffer.data();
            z.avail_out = static_cast<uInt>(buffer.size());
            rc = deflate(&z, flush);
            out.insert(out.end(), buffer.data(), buffer.data() + (buffer.size() - z.avail_out));
        } while (z.avail_out == 0 || (flush == Z_FINISH && rc != Z_STREAM_END));
        if (sink != nullptr && (out.size() >= (1 << 20) || zeros == 0)) {
            sink(&out, context);
            out.clear();
        }
        if (zeros == 0) break;
    }
    deflateEnd(&z);
    return out;
}

}  // namespace

namespace {

Bytes CompressFlatJpeg(uint32_t width, uint32_t height, int components, bool arithmetic,
                       bool subsampled, bool progressive) {
    jpeg_compress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    unsigned char* data = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &data, &size);
    info.image_width = width;
    info.image_height = height;
    info.input_components = components;
    info.in_color_space = components == 3 ? JCS_RGB : JCS_GRAYSCALE;
    jpeg_set_defaults(&info);
    if (!subsampled) {
        for (int c = 0; c < info.num_components; ++c)
            info.comp_info[c].h_samp_factor = info.comp_info[c].v_samp_factor = 1;
    }
    info.arith_code = arithmetic ? TRUE : FALSE;
    if (progressive) jpeg_simple_progression(&info);
    jpeg_start_compress(&info, TRUE);
    Bytes row(size_t{width} * components, 128);
    JSAMPROW rows[1] = {row.data()};
    while (info.next_scanline < info.image_height) jpeg_write_scanlines(&info, rows, 1);
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    Bytes jpeg(data, data + size);
    std::free(data);
    return jpeg;
}

// Rewrites the frame header (SOF0, 2, 9 or 10: marker, length, precision,
// then height and width) to claim another size.
Bytes ClaimSize(Bytes jpeg, uint32_t claimWidth, uint32_t claimHeight) {
    for (size_t i = 0; i + 9 < jpeg.size(); ++i) {
        const uint8_t m = jpeg[i + 1];
        if (jpeg[i] == 0xFF && (m == 0xC0 || m == 0xC2 || m == 0xC9 || m == 0xCA)) {
            jpeg[i + 5] = static_cast<uint8_t>(claimHeight >> 8);
            jpeg[i + 6] = static_cast<uint8_t>(claimHeight);
            jpeg[i + 7] = static_cast<uint8_t>(claimWidth >> 8);
            jpeg[i + 8] = static_cast<uint8_t>(claimWidth);
            return jpeg;
        }
    }
    throw std::runtime_error("no frame header");
}

}  // namespace

Bytes MakeProgressiveJpeg(uint32_t width, uint32_t height, bool arithmetic, bool subsampled,
                          uint32_t claimWidth, uint32_t claimHeight) {
    return ClaimSize(CompressFlatJpeg(width, height, 3, arithmetic, subsampled, true), claimWidth,
                     claimHeight);
}

Bytes MakeBaselineJpeg(uint32_t width, uint32_t height, uint32_t claimWidth,
                       uint32_t claimHeight) {
    return ClaimSize(CompressFlatJpeg(width, height, 3, false, true, false), claimWidth,
                     claimHeight);
}

Bytes MakeManyScanJpeg(uint32_t width, uint32_t height, int scans) {
    const Bytes jpeg = CompressFlatJpeg(width, height, 1, false, false, true);
    // Entropy-coded data stuffs every 0xFF, so each FF DA starts a scan.
    std::vector<size_t> starts;
    for (size_t i = 0; i + 1 < jpeg.size(); ++i) {
        if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xDA) starts.push_back(i);
    }
    if (starts.empty() || static_cast<int>(starts.size()) > scans)
        throw std::runtime_error("unexpected scans");
    const Bytes last(jpeg.begin() + static_cast<ptrdiff_t>(starts.back()), jpeg.end() - 2);
    Bytes out(jpeg.begin(), jpeg.end() - 2);
    for (size_t i = starts.size(); i < static_cast<size_t>(scans); ++i)
        out.insert(out.end(), last.begin(), last.end());
    out.insert(out.end(), {0xFF, 0xD9});
    return out;
}

namespace {

void PutLE16(Bytes* out, uint16_t v) {
    out->push_back(static_cast<uint8_t>(v));
    out->push_back(static_cast<uint8_t>(v >> 8));
}

void PutLE32(Bytes* out, uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8) out->push_back(static_cast<uint8_t>(v >> shift));
}

}  // namespace

Bytes MakeSharedStripTiff(uint32_t width, uint32_t height, uint32_t unit, bool tiled) {
    const uint32_t across = tiled ? (width + unit - 1) / unit : 1;
    const uint32_t down = (height + unit - 1) / unit;
    const uint32_t count = across * down;
    const uLong raw = static_cast<uLong>(tiled ? uint64_t{unit} * unit * 3
                                               : uint64_t{unit} * width * 3);
    const Bytes zeros(raw, 0);
    Bytes stored(compressBound(raw));
    uLongf storedSize = stored.size();
    if (compress2(stored.data(), &storedSize, zeros.data(), raw, 9) != Z_OK)
        throw std::runtime_error("compress2");
    stored.resize(storedSize);

    // Header, the unit's bytes, the offset and count arrays, bits per
    // sample, then the IFD.
    Bytes tiff = {'I', 'I', 42, 0};
    const uint32_t dataAt = 8, offsetsAt = dataAt + static_cast<uint32_t>(stored.size());
    const uint32_t countsAt = offsetsAt + 4 * count, bitsAt = countsAt + 4 * count;
    const uint32_t ifdAt = bitsAt + 6;
    PutLE32(&tiff, ifdAt);
    tiff.insert(tiff.end(), stored.begin(), stored.end());
    for (uint32_t i = 0; i < count; ++i) PutLE32(&tiff, dataAt);
    for (uint32_t i = 0; i < count; ++i) PutLE32(&tiff, static_cast<uint32_t>(stored.size()));
    for (int i = 0; i < 3; ++i) PutLE16(&tiff, 8);
    struct Entry {
        uint16_t tag, type;
        uint32_t count, value;
    };
    std::vector<Entry> entries = {{256, 4, 1, width},  {257, 4, 1, height}, {258, 3, 3, bitsAt},
                                  {259, 3, 1, 8},      {262, 3, 1, 2},      {277, 3, 1, 3},
                                  {284, 3, 1, 1}};
    if (tiled) {
        entries.insert(entries.end(), {{322, 4, 1, unit},
                                       {323, 4, 1, unit},
                                       {324, 4, count, offsetsAt},
                                       {325, 4, count, countsAt}});
    } else {
        entries.insert(entries.end(), {{273, 4, count, offsetsAt},
                                       {278, 4, 1, unit},
                                       {279, 4, count, countsAt}});
    }
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.tag < b.tag; });
    PutLE16(&tiff, static_cast<uint16_t>(entries.size()));
    for (const Entry& e : entries) {
        PutLE16(&tiff, e.tag);
        PutLE16(&tiff, e.type);
        PutLE32(&tiff, e.count);
        // A short value sits in the first two bytes of the field.
        if (e.type == 3 && e.count == 1) {
            PutLE16(&tiff, static_cast<uint16_t>(e.value));
            PutLE16(&tiff, 0);
        } else {
            PutLE32(&tiff, e.value);
        }
    }
    PutLE32(&tiff, 0);
    return tiff;
}

void WriteZstdStripTiff(const std::string& path, uint32_t width, uint32_t height) {
    // A frame without a content size, 128 KiB window, then run-length blocks
    // of 128 KiB zeros: a 3-byte block header (size, type 1, last flag) and
    // the byte to repeat.
    Bytes strip = {0x28, 0xB5, 0x2F, 0xFD, 0x00, 0x38};
    constexpr uint64_t kBlock = 128 << 10;
    uint64_t left = uint64_t{width} * height * 3;
    while (left != 0) {
        const uint64_t size = std::min(left, kBlock);
        left -= size;
        const uint32_t header = static_cast<uint32_t>(size << 3 | 1 << 1 | (left == 0 ? 1 : 0));
        strip.insert(strip.end(), {static_cast<uint8_t>(header), static_cast<uint8_t>(header >> 8),
                                   static_cast<uint8_t>(header >> 16), 0});
    }
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    if (tif == nullptr) throw std::runtime_error("cannot write " + path);
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_ZSTD);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, height);
    const bool written =
        TIFFWriteRawStrip(tif, 0, strip.data(), static_cast<tmsize_t>(strip.size())) >= 0;
    TIFFClose(tif);
    if (!written) throw std::runtime_error("cannot write " + path);
}

Bytes MakeCutShortPng(uint32_t width, uint32_t height, uint32_t rows) {
    Bytes png = PngHead(width, height, 8, 2);
    AppendChunk(&png, "IDAT", DeflateZeros(uint64_t{rows} * (1 + uint64_t{width} * 3), false));
    AppendChunk(&png, "IEND", {});
    return png;
}

namespace {

// Bytes of the filtered image data: each row (or each pass's row) with its
// filter byte.
uint64_t RawPngBytes(uint32_t width, uint32_t height, uint64_t bitsPerPixel, bool interlaced) {
    const auto rowBytes = [&](uint64_t pixels) { return 1 + (pixels * bitsPerPixel + 7) / 8; };
    if (!interlaced) return uint64_t{height} * rowBytes(width);
    static const uint32_t kPass[7][4] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                                         {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
    uint64_t total = 0;
    for (const auto& p : kPass) {
        const uint64_t columns = width > p[0] ? (width - p[0] + p[2] - 1) / p[2] : 0;
        const uint64_t rows = height > p[1] ? (height - p[1] + p[3] - 1) / p[3] : 0;
        if (columns != 0) total += rows * rowBytes(columns);
    }
    return total;
}

}  // namespace

void WriteZeroPng(const std::string& path, uint32_t width, uint32_t height, uint8_t depth,
                  uint8_t colourType, bool interlaced) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) throw std::runtime_error("cannot write " + path);
    const Bytes head = PngHead(width, height, depth, colourType, interlaced);
    std::fwrite(head.data(), 1, head.size(), file);
    const uint64_t channels = colourType == 2 ? 3 : colourType == 6 ? 4 : colourType == 4 ? 2 : 1;
    DeflateZeros(
        RawPngBytes(width, height, channels * depth, interlaced), true,
        [](Bytes* data, void* context) {
            Bytes chunk;
            AppendChunk(&chunk, "IDAT", *data);
            std::fwrite(chunk.data(), 1, chunk.size(), static_cast<std::FILE*>(context));
        },
        file);
    Bytes end;
    AppendChunk(&end, "IEND", {});
    std::fwrite(end.data(), 1, end.size(), file);
    if (std::fclose(file) != 0) throw std::runtime_error("cannot write " + path);
}

Bytes MakeTextBombPng(int chunks, size_t textBytes) {
    const Bytes text(textBytes, 'a');
    Bytes packed(compressBound(textBytes));
    uLongf packedSize = packed.size();
    if (compress2(packed.data(), &packedSize, text.data(), textBytes, 9) != Z_OK)
        throw std::runtime_error("compress2");
    Bytes ztxt = {'C', 'o', 'm', 'm', 'e', 'n', 't', 0, 0};  // keyword, method 0
    ztxt.insert(ztxt.end(), packed.begin(), packed.begin() + static_cast<ptrdiff_t>(packedSize));
    Bytes png = PngHead(1, 1, 8, 2);
    for (int i = 0; i < chunks; ++i) AppendChunk(&png, "zTXt", ztxt);
    AppendChunk(&png, "IDAT", DeflateZeros(4, true));
    AppendChunk(&png, "IEND", {});
    return png;
}

Bytes MakeWideRowPng(uint32_t width) {
    Bytes png = PngHead(width, 1, 16, 6);
    AppendChunk(&png, "IDAT", DeflateZeros(1 << 16, false));
    AppendChunk(&png, "IEND", {});
    return png;
}
