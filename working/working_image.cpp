// SPDX-License-Identifier: GPL-3.0-or-later
#include "working/working_image.h"

#include <algorithm>
#include <cctype>
#include <memory>
#include <new>

#include "imagelib/pix.h"

namespace {

std::string LowerExtension(const std::string& path) {
    std::string extension = GetExtension(path);
    for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return extension;
}

// Copies the text of a library string block out and frees the block.
bool TakeText(HGLOBAL block, std::string* text) {
    if (block == nullptr) return false;
    const auto* chars = static_cast<const char*>(GlobalLock(block));
    if (chars != nullptr) {
        *text = chars;
        GlobalUnlock(block);
    }
    GlobalFree(block);
    return chars != nullptr;
}

void SetPngReadSettings(uint32_t background, double gamma) {
    PixSetPNGBackground(0, background & 0xFF, (background >> 8) & 0xFF, (background >> 16) & 0xFF,
                        0);
    PixSetPNGGamma(gamma);
}

void GreyRamp(RGBQUAD* palette) {
    for (int i = 0; i < kPixPaletteEntries; ++i) {
        const auto level = static_cast<uint8_t>(i);
        palette[i].rgbBlue = palette[i].rgbGreen = palette[i].rgbRed = level;
    }
}

}  // namespace

CWorkingImage::CWorkingImage() {
    Clear();
}

CWorkingImage::~CWorkingImage() {
    Clear();
}

void CWorkingImage::Clear() {
    ReleasePixels();
    GlobalFree(pixels);
    pixels = nullptr;
    width = height = 0;
    formatCode = 0;
    fileName.clear();
    ClearPngTexts();
    readGamma = 2.2;
    writeGamma = 0.0;
    backgroundColour = 0;
    ClearJpegComments();
}

void CWorkingImage::ClearPngTexts() {
    pngTextKeys.clear();
    pngTextValues.clear();
    pngTextCompressed.clear();
}

void CWorkingImage::ClearJpegComments() {
    jpegComments.clear();
}

uint8_t* CWorkingImage::LockPixels() {
    return pixels == nullptr ? nullptr : static_cast<uint8_t*>(GlobalLock(pixels));
}

void CWorkingImage::ReleasePixels() {
    if (pixels == nullptr) return;
    while (GlobalUnlock(pixels)) {
    }
}

void CWorkingImage::LoadJpegComments() {
    jpegComments.clear();
    const int count = PixGetJPGCommentCount();
    for (int i = 0; i < count; ++i) {
        std::string comment;
        if (TakeText(PixGetJPGComment(i), &comment)) jpegComments.push_back(comment);
    }
}

void CWorkingImage::LoadPngTexts() {
    const int count = PixGetPNGTextCount();
    for (int i = 0; i < count; ++i) {
        // A pair whose key or value cannot be had is skipped whole, so the
        // two lists stay aligned.
        std::string key, value;
        if (!TakeText(PixGetPNGTextKey(i), &key)) continue;
        if (!TakeText(PixGetPNGTextValue(i), &value)) continue;
        pngTextKeys.push_back(key);
        pngTextValues.push_back(value);
        pngTextCompressed.push_back(std::max(0, PixGetPNGTextCompressed(i)));
    }
}

int CWorkingImage::Load(const std::string& path) {
    if (path.empty()) return kPixErrOpen;
    const std::string extension = LowerExtension(path);
    Clear();

    const char* file = path.c_str();
    HGLOBAL block = nullptr;
    bool readerRan = true;
    if (extension == ".bmp") {
        block = PixReadBMP(file, &width, &height);
        formatCode = kSaveBmp;
    } else if (extension == ".jpg" || extension == ".jpeg") {
        block = PixReadJPG(file, &width, &height);
        formatCode = kSaveJpeg;
        if (block != nullptr) LoadJpegComments();
    } else if (extension == ".tif" || extension == ".tiff") {
        block = PixReadTIFF(file, &width, &height);
        formatCode = kSaveTiff;
    } else if (extension == ".pcx") {
        block = PixReadPCX(file, &width, &height);
        formatCode = kSavePcx;
    } else if (extension == ".png") {
        SetPngReadSettings(backgroundColour, readGamma);
        block = PixReadPNG(file, &width, &height);
        formatCode = kSavePng;
        ClearPngTexts();
        if (block != nullptr) LoadPngTexts();
    } else {
        readerRan = false;
    }
    const int code = readerRan && block == nullptr ? PixGetLastError() : 0;

    if (block != nullptr) {
        pixels = block;
        fileName = path;
        return 0;
    }
    pixels = nullptr;
    width = height = 0;
    formatCode = 0;
    return code != 0 ? code : kPixErrNotImage;
}

uint8_t* CWorkingImage::MakeEightBit(RGBQUAD* palette, bool grey) {
    if (pixels == nullptr) return nullptr;
    const uint8_t* rgb = LockPixels();
    uint8_t* indices = new (std::nothrow) uint8_t[size_t{width} * height];
    bool converted = false;
    if (indices != nullptr) {
        converted = grey ? PixRGBToGray(rgb, width, height, indices)
                         : PixQuantize(rgb, indices, width, height, 256, palette);
    } else {
        // Save reports the library's last error, which would otherwise still
        // say 0 and make the missing write look like a success.
        PixSetLastError(kPixErrMemory);
    }
    ReleasePixels();
    if (grey) GreyRamp(palette);  // written whether or not the conversion worked
    if (!converted) {
        delete[] indices;
        return nullptr;
    }
    return indices;
}

uint8_t* CWorkingImage::MakeIndexed(RGBQUAD* palette) {
    return MakeEightBit(palette, false);
}

uint8_t* CWorkingImage::MakeGrey(RGBQUAD* palette) {
    return MakeEightBit(palette, true);
}

int CWorkingImage::Save(const std::string& path, int type) {
    if (pixels == nullptr) return kPixErrParam;
    const char* file = path.c_str();

    const bool png = type == kSavePng || type == kSavePng8 || type == kSavePngGrey;
    if (png) {
        PixSetPNGBackground(0, 0, 0, 0, 0);
        PixClearPNGText();
        // Texts go back as they came: a compressed one stays compressed.
        for (size_t i = 0; i < pngTextKeys.size(); ++i) {
            const int32_t compressed = i < pngTextCompressed.size() ? pngTextCompressed[i] : 0;
            PixAddPNGText(pngTextKeys[i].c_str(), pngTextValues[i].c_str(), compressed);
        }
    }

    switch (type) {
        case kSaveJpeg:
        case kSaveJpegGrey:
        case kSavePng:
        case kSaveBmp:
        case kSavePcx:
        case kSaveTiff: {
            const uint8_t* rgb = LockPixels();
            if (rgb != nullptr) {
                if (type == kSaveJpeg || type == kSaveJpegGrey) {
                    PixClearJPGComments();
                    for (const std::string& comment : jpegComments)
                        PixAddJPGComment(comment.c_str());
                    PixWriteJPG(file, rgb, width, height, 75, type == kSaveJpeg ? 1 : 0, 0);
                } else if (type == kSavePng) {
                    PixWritePNG(file, rgb, width, height, writeGamma);
                } else if (type == kSaveBmp) {
                    PixWriteBMP(file, rgb, width, height);
                } else if (type == kSavePcx) {
                    PixWritePCX(file, rgb, width, height);
                } else {
                    PixWriteTIFF(file, rgb, width, height);
                }
            }
            ReleasePixels();
            break;
        }
        default: {
            RGBQUAD palette[kPixPaletteEntries] = {};
            const bool grey = type == kSavePngGrey || type == kSaveBmpGrey ||
                              type == kSavePcxGrey || type == kSaveTiffGrey;
            std::unique_ptr<uint8_t[]> indices(grey ? MakeGrey(palette) : MakeIndexed(palette));
            if (!indices) break;
            const uint8_t* p = indices.get();
            if (type == kSavePng8 || type == kSavePngGrey) {
                PixWritePNG8(file, p, width, height, 256, palette, writeGamma);
            } else if (type == kSaveBmp8 || type == kSaveBmpGrey) {
                PixWriteBMP8(file, p, width, height, 8, 256, palette);
            } else if (type == kSavePcx8 || type == kSavePcxGrey) {
                PixWritePCX8(file, p, width, height, palette);
            } else if (type == kSaveTiff8 || type == kSaveTiffGrey) {
                PixWriteTIFF8(file, p, width, height, palette);
            }
            break;
        }
    }
    const int code = PixGetLastError();
    if (png) PixClearPNGText();  // no text left over for the next write
    return code;
}

std::string GetExtension(const std::string& path) {
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos) return {};
    size_t end = path.size();
    while (end > dot && std::isspace(static_cast<unsigned char>(path[end - 1]))) --end;
    return path.substr(dot, end - dot);
}

bool IsJpegName(const std::string& path) {
    const std::string extension = LowerExtension(path);
    return extension == ".jpg" || extension == ".jpeg";
}

int GetImageSizeByExtension(const std::string& path, uint32_t size[2]) {
    if (path.empty()) return kPixErrOpen;
    size[0] = size[1] = 0;
    const std::string extension = LowerExtension(path);
    const char* file = path.c_str();
    uint32_t width = 0, height = 0;
    int result = kPixErrOpen;
    bool queried = true;
    if (extension == ".bmp") {
        PixGetBMPSize(file, &width, &height);
    } else if (extension == ".jpg" || extension == ".jpeg") {
        PixGetJPGSize(file, &width, &height);
    } else if (extension == ".tif" || extension == ".tiff") {
        PixGetTIFFSize(file, &width, &height);
    } else if (extension == ".pcx") {
        PixGetPCXSize(file, &width, &height);
    } else if (extension == ".png") {
        PixGetPNGSize(file, &width, &height);
    } else {
        queried = false;
    }
    if (queried) result = PixGetLastError();
    size[0] = width;
    size[1] = height;
    return result;
}

int SaveByExtension(const std::string& path, CWorkingImage& image, const std::string& formatName) {
    const std::string extension = LowerExtension(formatName.empty() ? path : formatName);
    int type = 0;
    if (extension == ".bmp") {
        type = kSaveBmp;
    } else if (extension == ".pcx") {
        type = kSavePcx;
    } else if (extension == ".tiff" || extension == ".tif") {
        type = kSaveTiff;
    } else if (extension == ".png") {
        type = kSavePng;
    } else {
        return kPixErrParam;
    }
    return image.Save(path, type);
}

int WriteIndexedByExtension(const std::string& path, const uint8_t* indices, uint32_t width,
                            uint32_t height, const RGBQUAD* palette,
                            const std::string& formatName) {
    const std::string extension = LowerExtension(formatName.empty() ? path : formatName);
    const char* file = path.c_str();
    if (extension == ".bmp") {
        PixWriteBMP8(file, indices, width, height, 8, 256, palette);
    } else if (extension == ".pcx") {
        PixWritePCX8(file, indices, width, height, palette);
    } else if (extension == ".tif") {
        PixWriteTIFF8(file, indices, width, height, palette);
    } else if (extension == ".png") {
        // gAMA says how the samples were encoded: 1/2.2 keeps viewers (and
        // our own reader) showing the colours as they are.
        PixWritePNGEx(file, indices, width, height, width, 8, 256, palette, 3, 1.0 / 2.2, 0, 0);
    } else {
        return kPixErrParam;
    }
    return PixGetLastError();
}

HGLOBAL ReadRowsByExtension(const std::string& path, uint32_t rows, uint32_t* width,
                            uint32_t* height, uint32_t* taken, RGBQUAD* palette) {
    const std::string extension = LowerExtension(path);
    const char* file = path.c_str();
    const bool png = extension == ".png";
    const bool tiff = extension == ".tif" || extension == ".tiff";
    if (palette != nullptr) {
        if (extension == ".bmp") return PixReadBMP8Rows(file, width, height, palette, rows, taken);
        if (extension == ".pcx") return PixReadPCX8Rows(file, width, height, palette, rows, taken);
        if (png) return PixReadPNG8Rows(file, width, height, palette, rows, taken);
        if (tiff) return PixReadTIFF8Rows(file, width, height, palette, rows, taken);
        return nullptr;
    }
    if (extension == ".bmp") return PixReadBMPRows(file, width, height, rows, taken);
    if (extension == ".pcx") return PixReadPCXRows(file, width, height, rows, taken);
    if (tiff) return PixReadTIFFRows(file, width, height, rows, taken);
    if (png) {
        const CWorkingImage fresh;  // the settings every load reads with
        SetPngReadSettings(fresh.backgroundColour, fresh.readGamma);
        return PixReadPNGRows(file, width, height, rows, taken);
    }
    if (extension == ".jpg" || extension == ".jpeg") {
        HGLOBAL block = PixReadJPG(file, width, height);
        *taken = *height;
        return block;
    }
    return nullptr;
}

HGLOBAL ReadIndexedByExtension(const std::string& path, uint32_t* width, uint32_t* height,
                               RGBQUAD* palette) {
    const std::string extension = LowerExtension(path);
    const char* file = path.c_str();
    if (extension == ".bmp") return PixReadBMP8(file, width, height, palette);
    if (extension == ".pcx") return PixReadPCX8(file, width, height, palette);
    // The program writes 8-bit PNG and TIFF carriers too; they must read back.
    if (extension == ".png") return PixReadPNG8(file, width, height, palette);
    if (extension == ".tif" || extension == ".tiff")
        return PixReadTIFF8(file, width, height, palette);
    return nullptr;
}
