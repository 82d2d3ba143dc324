#include "tests/bomb_files.h"

#include <tiffio.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

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

Bytes PngHead(uint32_t width, uint32_t height, uint8_t depth, uint8_t colourType) {
    Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    Bytes ihdr;
    PutBE32(&ihdr, width);
    PutBE32(&ihdr, height);
    ihdr.insert(ihdr.end(), {depth, colourType, 0, 0, 0});
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

Bytes MakeProgressiveJpeg(uint32_t width, uint32_t height, bool arithmetic, bool subsampled,
                          uint32_t claimWidth, uint32_t claimHeight) {
    jpeg_compress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    unsigned char* data = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &data, &size);
    info.image_width = width;
    info.image_height = height;
    info.input_components = 3;
    info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&info);
    if (!subsampled) {
        for (int c = 0; c < info.num_components; ++c)
            info.comp_info[c].h_samp_factor = info.comp_info[c].v_samp_factor = 1;
    }
    info.arith_code = arithmetic ? TRUE : FALSE;
    jpeg_simple_progression(&info);
    jpeg_start_compress(&info, TRUE);
    Bytes row(size_t{width} * 3, 128);
    JSAMPROW rows[1] = {row.data()};
    while (info.next_scanline < info.image_height) jpeg_write_scanlines(&info, rows, 1);
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    Bytes jpeg(data, data + size);
    std::free(data);

    // SOF2 (progressive Huffman) or SOF10 (progressive arithmetic): marker,
    // length, precision, then height and width.
    for (size_t i = 0; i + 9 < jpeg.size(); ++i) {
        if (jpeg[i] == 0xFF && (jpeg[i + 1] == 0xC2 || jpeg[i + 1] == 0xCA)) {
            jpeg[i + 5] = static_cast<uint8_t>(claimHeight >> 8);
            jpeg[i + 6] = static_cast<uint8_t>(claimHeight);
            jpeg[i + 7] = static_cast<uint8_t>(claimWidth >> 8);
            jpeg[i + 8] = static_cast<uint8_t>(claimWidth);
            return jpeg;
        }
    }
    throw std::runtime_error("no progressive frame header");
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

void WriteZeroPng(const std::string& path, uint32_t width, uint32_t height) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) throw std::runtime_error("cannot write " + path);
    const Bytes head = PngHead(width, height, 8, 2);
    std::fwrite(head.data(), 1, head.size(), file);
    DeflateZeros(
        uint64_t{height} * (1 + uint64_t{width} * 3), true,
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

Bytes MakeWideRowPng(uint32_t width) {
    Bytes png = PngHead(width, 1, 16, 6);
    AppendChunk(&png, "IDAT", DeflateZeros(1 << 16, false));
    AppendChunk(&png, "IEND", {});
    return png;
}
