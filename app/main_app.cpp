#include "app/main_app.h"

#include <wx/log.h>

#include <cstring>

#include "app/main_dialog.h"
#include "app/self_test.h"

int CMainApp::exitStatus = 1;

bool CMainApp::OnInit() {
    // The program takes no command line; the one hidden switch lets the
    // test suite open the window and close it again.
    const bool selfTest = argc == 2 && argv[1] == "--self-test";
    // Unattended, a logged error must not open a message box that nobody
    // will close: the test would hang until its time runs out.
    if (selfTest) delete wxLog::SetActiveTarget(new wxLogStderr);
    CMainDialog dialog(nullptr);
    SetTopWindow(&dialog);
    if (argc == 5 && argv[1] == "--ui-latency")
        exitStatus = RunLatencyProbe(dialog, argv[2], argv[3], argv[4]);
    else
        exitStatus = selfTest ? RunSelfTest(dialog) : (dialog.ShowModal(), 0);
    SetTopWindow(nullptr);
    return false;
}

wxIMPLEMENT_APP_NO_MAIN(CMainApp);

int main(int argc, char** argv) {
    // wxEntry reports the false from OnInit as a failure; the status that
    // counts is the application's.
    wxEntry(argc, argv);
    return CMainApp::exitStatus;
}
