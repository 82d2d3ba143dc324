// A check of the real window for the test suite: opens the main dialog
// modally, inspects its controls, the capacity report behind the base image
// edit and the About box, then closes it. Returns the exit status: 0 when
// every check passed, else 1 (each failure is named on standard error).
#pragma once

class CMainDialog;

int RunSelfTest(CMainDialog& dialog);

// Opens the main dialog modally and, once it is on screen, prints what the
// base image and input file edits and the capacity report's first line
// show, one "name: value" line each, then closes it. Returns 0, or 1 when
// the window did not come up.
int RunShowFields(CMainDialog& dialog);
