// SPDX-License-Identifier: GPL-3.0-or-later
// The program's one window: the encode and decode fields, the method list,
// progress, status and the capacity report. It is the MainView the
// commands and the engine's runs talk to; the runs and the capacity report
// work on threads of their own, and what they tell the window reaches it
// through its event loop.
#pragma once

#include <wx/dialog.h>

#include <functional>
#include <string>
#include <thread>

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
    kIdPassphraseConfirm = 1015,
};

class CMainDialog : public wxDialog, public MainView {
  public:
    explicit CMainDialog(wxWindow* parent);
    ~CMainDialog() override;

    // Called from any thread: what comes from a run's thread is carried to
    // the window's, and the questions wait there for the user's answer.
    void ReadControls() override;
    void ShowFields() override;
    void SetProgressRange(int maximum) override;
    std::string ChooseFile(const FileChoice& choice) override;
    std::string AskPassphrase() override;

    void SetProgressPosition(int position) override;
    void StepProgress() override;
    void ShowMessage(const std::string& text) override;
    bool AskYesNo(const std::string& text) override;
    ExistsAnswer AskExisting(const std::string& shown) override;
    bool OfferElsewhere(const std::string& path, const std::string& reason,
                        std::string* chosen) override;
    void BeginWaitCursor() override;
    void EndWaitCursor() override;
    void Pause(unsigned milliseconds) override;

    void RunInBackground(std::function<int()> work, std::function<void(int)> done) override;
    void SetRunning(bool running) override;
    void ReportCapacity(const std::string& path) override;

    void ShowAbout();
    bool IsRunning() const { return running_; }
    // The runs the commands call; the self-test puts slow ones in.
    void SetRuns(const RunTable& runs) { runs_ = runs; }
    // Message boxes go here instead when set (the self-test reads them);
    // for a question, its result is the answer.
    std::function<bool(const std::string& text, bool question)> messageSink;
    // Keeps the remembered folders and method for the next start.
    void SaveSettings();

  private:
    // Runs `call` on the window's thread and waits for its result.
    template <typename Call>
    auto OnWindowThread(Call call) -> decltype(call());
    void Post(std::function<void()> call);

    std::string ChooseFileNow(const FileChoice& choice);
    bool AskNow(const std::string& text);
    void ApplyFields(const MainFields& shown);
    void StartCapacity();
    // The passphrase fields take input while sealed is chosen and no run works.
    void EnablePassphrase();
    // Asks the run to stop; its button rests until the run has ended.
    void StopRun();
    void LoadSettings();

    void OnEncode(wxCommandEvent& event);
    void OnDecode(wxCommandEvent& event);
    void OnBrowse(wxCommandEvent& event);
    void OnBaseImageText(wxCommandEvent& event);
    void OnContextMenu(wxContextMenuEvent& event);
    void OnCharHook(wxKeyEvent& event);
    void OnClose(wxCloseEvent& event);

    wxTextCtrl* baseImage_;
    wxTextCtrl* dataFile_;
    wxTextCtrl* outputImage_;
    wxTextCtrl* inputFile_;
    wxChoice* method_;
    wxTextCtrl* passphrase_;
    wxTextCtrl* passphraseConfirm_;
    wxGauge* progress_;
    wxGenericStaticText* status_;
    CFontLabel* capacity_;
    std::string shownStatus_;
    std::string approvedOutput_;  // the last name a save dialog asked about
    RunTable runs_ = kEngineRuns;

    std::thread run_;
    bool running_ = false;
    bool closeAfterRun_ = false;
    int stopButton_ = 0;  // the button that started the run, Stop while it works
    wxWindow* focusBeforeRun_ = nullptr;

    std::thread capacity_thread_;
    bool capacityBusy_ = false;
    bool capacityWanted_ = false;
    std::string capacityPath_;
};
