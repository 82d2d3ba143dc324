// SPDX-License-Identifier: GPL-3.0-or-later
// The application object: runs the main dialog and ends with it.
#pragma once

#include <wx/app.h>

#include "app/start_options.h"

class CMainApp : public wxApp {
  public:
    // Runs the main dialog modally and returns false once it has closed, so
    // that no message loop follows and the program ends.
    bool OnInit() override;

    // The process's exit status: 1 until the dialog has run (the window
    // system could not be reached), then 0, or the self-test's verdict.
    static int exitStatus;
    // The command line, parsed before the window system is started.
    static StartOptions options;
};
