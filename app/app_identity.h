// The program's name as its windows show it, and its icon, drawn in code.
#pragma once

#include <wx/bitmap.h>
#include <wx/iconbndl.h>

extern const char* const kAppCaption;  // "Ombrel": message box captions

// The icon at 16, 32 and 48 pixels, for the title bar and the task bar.
wxIconBundle AppIcons();
// The icon as a size x size bitmap.
wxBitmap AppBitmap(int size);
