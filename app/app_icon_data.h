// SPDX-License-Identifier: GPL-3.0-or-later
// The application icon's PNG files, compiled in, smallest first.
#pragma once

#include <cstddef>

struct AppIconPng {
    int size;  // width and height in pixels
    const unsigned char* data;
    std::size_t length;
};

extern const AppIconPng kAppIconPngs[];
extern const int kAppIconPngCount;
