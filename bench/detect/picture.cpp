// SPDX-License-Identifier: GPL-3.0-or-later
#include <cstdio>
#include <cstring>

#include "detect.h"
#include "imagelib/bmp.h"
#include "imagelib/jpeg.h"
#include "imagelib/pcx.h"
#include "imagelib/png.h"
#include "imagelib/tiff.h"

namespace detect {

bool ReadPicture(const std::string& path, Picture* picture) {
    std::string ext = path.substr(path.find_last_of('.') + 1);
    for (char& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
    uint32_t w = 0, h = 0;
    HGLOBAL block = nullptr;
    if (ext == "png")
        block = PixReadPNG(path.c_str(), &w, &h);
    else if (ext == "jpg" || ext == "jpeg")
        block = PixReadJPG(path.c_str(), &w, &h);
    else if (ext == "bmp")
        block = PixReadBMP(path.c_str(), &w, &h);
    else if (ext == "pcx")
        block = PixReadPCX(path.c_str(), &w, &h);
    else if (ext == "tif" || ext == "tiff")
        block = PixReadTIFF(path.c_str(), &w, &h);
    if (!block) {
        std::fprintf(stderr, "%s: cannot read (%s)\n", path.c_str(),
                     PixErrorText(PixGetLastError()));
        return false;
    }
    picture->width = w;
    picture->height = h;
    picture->rgb.resize(size_t(w) * h * 3);
    std::memcpy(picture->rgb.data(), GlobalLock(block), picture->rgb.size());
    GlobalUnlock(block);
    GlobalFree(block);
    return true;
}

}  // namespace detect
