// JPEG files, over libjpeg.
#pragma once

#include <cstdint>

#include "imagelib/state.h"

HGLOBAL PixReadJPG(const char* path, uint32_t* width, uint32_t* height);
BOOL PixGetJPGSize(const char* path, uint32_t* width, uint32_t* height);
BOOL PixWriteJPG(const char* path, const uint8_t* pixels, uint32_t width, uint32_t height,
                 int quality, int colour, int progressive);
BOOL PixAddJPGComment(const char* text);
void PixClearJPGComments();
int PixGetJPGCommentCount();
HGLOBAL PixGetJPGComment(int index);
