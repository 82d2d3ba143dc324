// SPDX-License-Identifier: GPL-3.0-or-later
// The application's one way of getting a whole image into memory and back
// out to a file, with the reader or writer chosen by the file's extension.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "imagelib/state.h"

// Format and depth of a save. The 24-bit types equal the format codes that
// Load records.
enum SaveType : int {
    kSaveJpeg = 1,
    kSaveJpegGrey = 2,
    kSavePng = 3,
    kSavePng8 = 4,
    kSavePngGrey = 5,
    kSaveBmp = 6,
    kSaveBmp8 = 7,
    kSaveBmpGrey = 8,
    kSavePcx = 9,
    kSavePcx8 = 10,
    kSavePcxGrey = 11,
    kSaveTiff = 12,
    kSaveTiff8 = 13,
    kSaveTiffGrey = 14,
};

// One 24-bit image, the file it came from, and the texts that travel with
// it (PNG text chunks, JPEG comments).
class CWorkingImage {
  public:
    CWorkingImage();
    ~CWorkingImage();
    CWorkingImage(const CWorkingImage&) = delete;
    CWorkingImage& operator=(const CWorkingImage&) = delete;

    // Replaces the held image by the file's, reader chosen by extension.
    // Returns a library code: 2 for an empty path (the held image stays), 60
    // when no reader applies or a reader gave nothing without a code.
    int Load(const std::string& path);

    // Writes the held image as `type`; 5 when no image is held, otherwise the
    // library's last error after the write.
    int Save(const std::string& path, int type);

    void Clear();
    bool HasImage() const { return pixels != nullptr; }

    // Locked address of the RGB pixels, or null when no image is held.
    uint8_t* LockPixels();
    // Releases every lock taken, however many.
    void ReleasePixels();

    // 8-bit forms of the image for the 8-bit save types: width x height
    // indices (the caller frees them with delete[]) and a palette. Null
    // when no image is held or the conversion fails; in the latter case the
    // library's last error says why (1 when the indices cannot be had).
    uint8_t* MakeIndexed(RGBQUAD* palette);
    uint8_t* MakeGrey(RGBQUAD* palette);

    void ClearPngTexts();
    void ClearJpegComments();

    std::string fileName;
    int formatCode = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    HGLOBAL pixels = nullptr;
    std::vector<std::string> pngTextKeys;
    std::vector<std::string> pngTextValues;
    std::vector<int32_t> pngTextCompressed;  // nonzero: written back compressed
    std::vector<std::string> jpegComments;
    uint32_t backgroundColour = 0;  // red in the low byte, then green, blue
    double readGamma = 2.2;
    double writeGamma = 0.0;

  private:
    uint8_t* MakeEightBit(RGBQUAD* palette, bool grey);
    void LoadJpegComments();
    void LoadPngTexts();
};

// The extension: from the last "." to the end, trailing white space
// removed; empty when the name has no ".".
std::string GetExtension(const std::string& path);

// Width into size[0], height into size[1]; both 0 when nothing was read.
// 2 for an empty path (size untouched) or an extension no reader serves.
int GetImageSizeByExtension(const std::string& path, uint32_t size[2]);

// Whether the name ends in .jpg or .jpeg, in any case.
bool IsJpegName(const std::string& path);

// Saves as 24-bit in the format the extension names; 5 for any other.
// `formatName`, when given, names the format instead of `path` (which may
// then be a temporary file's, without the extension).
int SaveByExtension(const std::string& path, CWorkingImage& image,
                    const std::string& formatName = {});

// Writes an 8-bit palette image in the format the extension names
// (.bmp, .pcx, .tif, .png); 5 for any other. `formatName` as above.
int WriteIndexedByExtension(const std::string& path, const uint8_t* indices, uint32_t width,
                            uint32_t height, const RGBQUAD* palette,
                            const std::string& formatName = {});

// Reads an 8-bit palette image (.bmp, .pcx, .png, .tif, .tiff): a block of
// width x height indices the caller frees with GlobalFree, or null with the
// library's code set (or, for any other extension, untouched).
HGLOBAL ReadIndexedByExtension(const std::string& path, uint32_t* width, uint32_t* height,
                               RGBQUAD* palette);

// The top `rows` rows of an image file (all of them when it has fewer), top
// row first: 8-bit indices and `palette` as ReadIndexedByExtension reads
// them when `palette` is given, else 24-bit pixels as Load reads them. The
// block holds *taken rows, at least min(rows, *height); files without a cheap
// way to their top rows (JPEG, interlaced PNG, run-length BMP, single-strip
// TIFF) come whole. *width and *height give the whole picture. Null on
// failure, with the library's code set, or for an extension no reader
// serves, untouched.
HGLOBAL ReadRowsByExtension(const std::string& path, uint32_t rows, uint32_t* width,
                            uint32_t* height, uint32_t* taken, RGBQUAD* palette = nullptr);
