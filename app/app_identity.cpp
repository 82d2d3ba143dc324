// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/app_identity.h"

#include <wx/image.h>
#include <wx/imagpng.h>
#include <wx/mstream.h>

#include "app/app_icon_data.h"

const char* const kAppCaption = "Ombrel";

namespace {

wxImage LoadPng(const AppIconPng& png) {
    if (!wxImage::FindHandler(wxBITMAP_TYPE_PNG)) wxImage::AddHandler(new wxPNGHandler);
    wxMemoryInputStream stream(png.data, png.length);
    return wxImage(stream, wxBITMAP_TYPE_PNG);
}

}  // namespace

wxBitmap AppBitmap(int size) {
    // The drawn size itself, else the next larger one scaled down, else the
    // largest scaled up.
    const AppIconPng* chosen = &kAppIconPngs[kAppIconPngCount - 1];
    for (int i = 0; i < kAppIconPngCount; ++i)
        if (kAppIconPngs[i].size >= size) {
            chosen = &kAppIconPngs[i];
            break;
        }
    wxImage image = LoadPng(*chosen);
    if (!image.IsOk()) return wxBitmap(size, size);
    if (chosen->size != size) image.Rescale(size, size, wxIMAGE_QUALITY_HIGH);
    return wxBitmap(image);
}

wxIconBundle AppIcons() {
    wxIconBundle icons;
    for (int i = 0; i < kAppIconPngCount; ++i) {
        const wxImage image = LoadPng(kAppIconPngs[i]);
        if (!image.IsOk()) continue;
        wxIcon icon;
        icon.CopyFromBitmap(wxBitmap(image));
        icons.AddIcon(icon);
    }
    return icons;
}
