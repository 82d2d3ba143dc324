#include "app/app_identity.h"

#include <wx/brush.h>
#include <wx/graphics.h>
#include <wx/image.h>
#include <wx/pen.h>

#include <algorithm>
#include <cmath>
#include <memory>

const char* const kAppCaption = "Ombrel";

wxBitmap AppBitmap(int size) {
    // An umbrella on a transparent ground, drawn on a 32-unit grid.
    wxImage image(size, size);
    image.InitAlpha();
    std::fill_n(image.GetAlpha(), size * size, 0);
    {
        std::unique_ptr<wxGraphicsContext> gc(wxGraphicsContext::Create(image));
        if (!gc) return wxBitmap(image);
        gc->SetAntialiasMode(wxANTIALIAS_DEFAULT);
        gc->Scale(size / 32.0, size / 32.0);

        wxGraphicsPath canopy = gc->CreatePath();
        canopy.MoveToPoint(2, 17);
        canopy.AddArc(16, 17, 14, M_PI, 2 * M_PI, true);
        canopy.CloseSubpath();
        gc->SetPen(wxPen(wxColour(0, 70, 80), 1));
        gc->SetBrush(wxBrush(wxColour(0, 120, 130)));
        gc->DrawPath(canopy);

        gc->SetPen(wxPen(wxColour(150, 210, 215), 1));
        gc->StrokeLine(16, 4, 9, 17);
        gc->StrokeLine(16, 4, 23, 17);

        wxGraphicsPath handle = gc->CreatePath();
        handle.MoveToPoint(16, 17);
        handle.AddLineToPoint(16, 27);
        handle.AddArc(13, 27, 3, 0, M_PI, true);
        gc->SetPen(wxPen(wxColour(60, 60, 60), 2));
        gc->SetBrush(*wxTRANSPARENT_BRUSH);
        gc->StrokePath(handle);
    }  // the context writes the drawing back into the image as it goes
    return wxBitmap(image);
}

wxIconBundle AppIcons() {
    wxIconBundle icons;
    for (int size : {16, 32, 48}) {
        wxIcon icon;
        icon.CopyFromBitmap(AppBitmap(size));
        icons.AddIcon(icon);
    }
    return icons;
}
