// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/screen_grab.h"

// Xlib last: its macros (None, Status, Bool) would clash with wx's names.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

wxImage GrabScreen(const wxRect& rect) {
    // A connection of its own: wx's may hold drawing that is not flushed.
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) return {};
    wxImage grabbed;
    XImage* shot = XGetImage(display, DefaultRootWindow(display), rect.GetLeft(), rect.GetTop(),
                             rect.GetWidth(), rect.GetHeight(), AllPlanes, ZPixmap);
    if (shot != nullptr) {
        grabbed.Create(rect.GetWidth(), rect.GetHeight());
        for (int y = 0; y < rect.GetHeight(); ++y)
            for (int x = 0; x < rect.GetWidth(); ++x) {
                const unsigned long pixel = XGetPixel(shot, x, y);
                grabbed.SetRGB(x, y, (pixel & shot->red_mask) >> 16, (pixel & shot->green_mask) >> 8,
                               pixel & shot->blue_mask);
            }
        XDestroyImage(shot);
    }
    XCloseDisplay(display);
    return grabbed;
}
