// SPDX-License-Identifier: GPL-3.0-or-later
// A check of the real window for the test suite: opens the main dialog
// modally and drives it with real keys and clicks: its controls and starting
// focus, the capacity report, a slow run followed stage by stage on the
// screen, a real encode and decode, the About box's link, the remembered
// settings, and closing during a run. Returns the exit status: 0 when every
// check passed, else 1 (each failure is named on standard error).
#pragma once

#include <wx/string.h>

class CMainDialog;

int RunSelfTest(CMainDialog& dialog);

// Opens the main dialog modally and, once it is on screen, prints what the
// base image and input file edits and the capacity report's first line
// show, one "name: value" line each, then closes it. Returns 0, or 1 when
// the window did not come up.
int RunShowFields(CMainDialog& dialog);

// Encodes BASE and DATA into OUTPUT with the 666 method through the window
// and prints the longest time the window's thread went without serving a
// 10 ms timer; OUTPUT "-" measures the idle window for 15 s instead.
int RunLatencyProbe(CMainDialog& dialog, const wxString& base, const wxString& data,
                    const wxString& output);
