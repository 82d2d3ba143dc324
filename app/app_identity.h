// SPDX-License-Identifier: GPL-3.0-or-later
// The program's name as its windows show it, and its icon.
#pragma once

#include <wx/bitmap.h>
#include <wx/iconbndl.h>

extern const char* const kAppCaption;  // "Ombrel": message box captions

// The icon at every size drawn, for the title bar and the task bar: the
// installed icon's PNG files, compiled in.
wxIconBundle AppIcons();
// The icon as a size x size bitmap.
wxBitmap AppBitmap(int size);
