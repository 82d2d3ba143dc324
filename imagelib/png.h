// PNG files, over libpng.
#pragma once

#include <cstdint>

#include "imagelib/state.h"

HGLOBAL PixReadPNG(const char* path, uint32_t* width, uint32_t* height);
// Raw indices of a palette PNG (bit depth 8 or less), palette filled; 28 for
// any other PNG, decided from the header alone.
HGLOBAL PixReadPNG8(const char* path, uint32_t* width, uint32_t* height, RGBQUAD* palette);
BOOL PixWritePNG(const char* path, const uint8_t* pixels, uint32_t width, uint32_t height,
                 double gamma);
BOOL PixWritePNG8(const char* path, const uint8_t* pixels, uint32_t width, uint32_t height,
                  int colours, const RGBQUAD* palette, double gamma);
BOOL PixWritePNGEx(const char* path, const uint8_t* pixels, uint32_t width, uint32_t height,
                   uint32_t rowBytes, int bitDepth, int colours, const RGBQUAD* palette,
                   int colourType, double gamma, int32_t reserved, int interlace);
BOOL PixGetPNGSize(const char* path, uint32_t* width, uint32_t* height);
double PixSetPNGGamma(double gamma);
void PixSetPNGBackground(uint8_t index, uint16_t red, uint16_t green, uint16_t blue,
                         uint16_t grey);
void PixClearPNGText();
BOOL PixAddPNGText(const char* key, const char* text, int32_t compressed);
int PixGetPNGTextCount();
HGLOBAL PixGetPNGTextKey(int index);
HGLOBAL PixGetPNGTextValue(int index);
