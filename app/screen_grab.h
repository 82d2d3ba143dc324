// SPDX-License-Identifier: GPL-3.0-or-later
// What the X server shows in a rectangle of the screen, read back for the
// self-test: it checks what was drawn, not what a control holds.
#pragma once

#include <wx/gdicmn.h>
#include <wx/image.h>

// The screen's pixels in `rect` (screen coordinates); not Ok when the
// display cannot be read.
wxImage GrabScreen(const wxRect& rect);
