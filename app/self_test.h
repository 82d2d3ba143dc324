// A check of the real window for the test suite: opens the main dialog
// modally, inspects its controls, the capacity report behind the base image
// edit and the About box, then closes it. Returns the exit status: 0 when
// every check passed, else 1 (each failure is named on standard error).
#pragma once

#include <wx/string.h>

class CMainDialog;

int RunSelfTest(CMainDialog& dialog);

// Encodes BASE and DATA into OUTPUT with the 666 method through the window
// and prints the longest time the window's thread went without serving a
// 10 ms timer; OUTPUT "-" measures the idle window for 15 s instead.
int RunLatencyProbe(CMainDialog& dialog, const wxString& base, const wxString& data,
                    const wxString& output);
