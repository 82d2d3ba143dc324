// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/main_app.h"

#include <wx/log.h>

#include <cstdio>

#include "app/main_dialog.h"
#include "app/open_file.h"
#include "app/recent_files.h"
#include "app/self_test.h"
#include "hiding/output_file.h"

int CMainApp::exitStatus = 1;
StartOptions CMainApp::options;

bool CMainApp::OnInit() {
    using Action = StartOptions::Action;
    const bool selfTest = options.action == Action::SelfTest || options.action == Action::ShowFields;
    // Unattended, a logged error must not open a message box that nobody
    // will close: the test would hang until its time runs out.
    if (selfTest) delete wxLog::SetActiveTarget(new wxLogStderr);
    KeepOutOfRecentFiles();
    CMainDialog dialog(nullptr);
    SetTopWindow(&dialog);
    if (!options.file.empty()) OpenFileCommand(dialog, options.file);
    switch (options.action) {
        case Action::SelfTest:
            exitStatus = RunSelfTest(dialog);
            break;
        case Action::ShowFields:
            exitStatus = RunShowFields(dialog);
            break;
        case Action::UiLatency:
            exitStatus = RunLatencyProbe(dialog, options.probe[0], options.probe[1], options.probe[2]);
            break;
        default:
            dialog.ShowModal();
            exitStatus = 0;
    }
    SetTopWindow(nullptr);
    return false;
}

wxIMPLEMENT_APP_NO_MAIN(CMainApp);

int main(int argc, char** argv) {
    // A logout's SIGTERM during a write leaves no temporary file behind.
    InstallSignalCleanup();
    // Answered before wxWidgets starts, so that they work without a display.
    std::vector<std::string> args;
    if (argc > 1) args.assign(argv + 1, argv + argc);  // argc is 0 when run with no argv at all
    CMainApp::options = ParseStartOptions(args);
    switch (CMainApp::options.action) {
        case StartOptions::Action::Help:
            std::fputs(kStartHelp, stdout);
            return 0;
        case StartOptions::Action::Version:
            std::printf("ombrel %s\n", OMBREL_VERSION);
            return 0;
        case StartOptions::Action::UsageError:
            std::fprintf(stderr, "ombrel: %s\nTry 'ombrel --help' for more information.\n",
                         CMainApp::options.error.c_str());
            return 2;
        default:
            break;
    }
    // wxEntry reports the false from OnInit as a failure; the status that
    // counts is the application's.
    wxEntry(argc, argv);
    return CMainApp::exitStatus;
}
