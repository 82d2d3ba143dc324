// The program's one window: the encode and decode fields, the method list,
// progress, status and the capacity report. It is the MainView the
// commands and the engine's runs talk to.
#pragma once

#include <wx/dialog.h>

#include "app/main_commands.h"

class WXDLLIMPEXP_FWD_CORE wxButton;
class WXDLLIMPEXP_FWD_CORE wxChoice;
class WXDLLIMPEXP_FWD_CORE wxGauge;
class WXDLLIMPEXP_FWD_CORE wxGenericStaticText;
class WXDLLIMPEXP_FWD_CORE wxTextCtrl;
class CFontLabel;

// Control identifiers, fixed so that the self-test can find each control.
enum MainDialogId : int {
    kIdEncode = 1,
    kIdAbout = 16,
    kIdBaseImage = 1000,
    kIdBrowseBase = 1001,
    kIdDataFile = 1002,
    kIdBrowseData = 1003,
    kIdOutputImage = 1004,
    kIdBrowseOutput = 1005,
    kIdInputFile = 1006,
    kIdMethod = 1007,
    kIdDecode = 1008,
    kIdBrowseInput = 1009,
    kIdStatus = 1010,
    kIdProgress = 1012,
    kIdCapacity = 1013,
    kIdPassphrase = 1014,  // the sealed method's, enabled while it is chosen
};

class CMainDialog : public wxDialog, public MainView {
  public:
    explicit CMainDialog(wxWindow* parent);

    void ReadControls() override;
    void ShowFields() override;
    void SetProgressRange(int maximum) override;
    std::string ChooseFile(const FileChoice& choice) override;
    std::string AskPassphrase() override;

    void SetProgressPosition(int position) override;
    void StepProgress() override;
    void ShowMessage(const std::string& text) override;
    bool AskYesNo(const std::string& text) override;
    void BeginWaitCursor() override;
    void EndWaitCursor() override;
    void Pause(unsigned milliseconds) override;

    void ShowAbout();

  private:
    // Marks a command as running, so that a close request waits for its end.
    class Running;

    void OnEncode(wxCommandEvent& event);
    void OnDecode(wxCommandEvent& event);
    void OnBrowse(wxCommandEvent& event);
    void OnBaseImageText(wxCommandEvent& event);
    void OnContextMenu(wxContextMenuEvent& event);
    void OnCharHook(wxKeyEvent& event);
    void OnClose(wxCloseEvent& event);
    void PushToScreen();

    wxTextCtrl* baseImage_;
    wxTextCtrl* dataFile_;
    wxTextCtrl* outputImage_;
    wxTextCtrl* inputFile_;
    wxChoice* method_;
    wxTextCtrl* passphrase_;
    wxGauge* progress_;
    wxGenericStaticText* status_;
    CFontLabel* capacity_;
    std::string shownStatus_;
    bool running_ = false;
    bool closeRequested_ = false;
};
