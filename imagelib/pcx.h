// ZSoft PCX files.
#pragma once

#include <cstdint>

#include "imagelib/state.h"

HGLOBAL PixReadPCX(const char* path, uint32_t* width, uint32_t* height);
HGLOBAL PixReadPCX8(const char* path, uint32_t* width, uint32_t* height, RGBQUAD* palette);
BOOL PixWritePCX(const char* path, const uint8_t* pixels, uint32_t width, uint32_t height);
BOOL PixWritePCX8(const char* path, const uint8_t* pixels, uint32_t width, uint32_t height,
                  const RGBQUAD* palette);
BOOL PixGetPCXSize(const char* path, uint32_t* width, uint32_t* height);
