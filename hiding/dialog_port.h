// SPDX-License-Identifier: GPL-3.0-or-later
// Everything the runs and the capacity report take from or give to the
// dialog that drives them. The main dialog and the command line implement
// it; tests implement a recording fake.
#pragma once

#include <string>

std::string ProgramDirectory();

// What a run returns when it stopped because the dialog asked it to: not an
// image library code, and nothing is reported for it.
constexpr int kRunStopped = -1000;

class DialogPort {
  public:
    virtual ~DialogPort() = default;

    // The fields the user filled in.
    virtual std::string BaseImagePath() = 0;
    virtual std::string DataFilePath() = 0;
    virtual std::string OutputImagePath() = 0;
    virtual int MethodIndex() = 0;

    // Stores the status text and shows it at once, before the run goes on.
    virtual void SetStatus(const std::string& text) = 0;
    virtual void SetProgressPosition(int position) = 0;
    virtual void StepProgress() = 0;
    virtual void SetCapacityText(const std::string& text) = 0;

    // A message box with the application's caption and an exclamation icon.
    virtual void ShowMessage(const std::string& text) = 0;
    // Something the user should know that stops nothing.
    virtual void Warn(const std::string& text) { ShowMessage(text); }
    // A Yes/No box; true for Yes.
    virtual bool AskYesNo(const std::string& text) = 0;
    // The save-file dialog that asks where an extracted file goes instead of
    // `existing`: the chosen full path, or empty when the user cancels.
    virtual std::string AskOutputFile(const std::string& existing) = 0;

    enum class ExistsAnswer { Replace, SaveAs, Cancel };
    // What to do when the extracted file's name is taken; `shown` is its
    // path as shown. This version asks Yes/No, No choosing another name.
    virtual ExistsAnswer AskExisting(const std::string& shown) {
        return AskYesNo(shown + " exists\nOverwrite?\nNo to Rename") ? ExistsAnswer::Replace
                                                                     : ExistsAnswer::SaveAs;
    }
    // The system refused to write the extracted file at `path` (`reason`):
    // true when the user was offered another place, with the path chosen in
    // `chosen` (empty: cancelled). False, as here: the run reports the error.
    virtual bool OfferElsewhere(const std::string& /*path*/, const std::string& /*reason*/,
                                std::string* /*chosen*/) {
        return false;
    }

    virtual void BeginWaitCursor() {}
    virtual void EndWaitCursor() {}
    virtual void Pause(unsigned milliseconds) = 0;

    // Where extracted files go unless the user picks another name.
    virtual std::string OutputDirectory() { return ProgramDirectory(); }

    // Asked between stages: true ends the run with kRunStopped, leaving no
    // output behind and every existing file as it was.
    virtual bool StopRequested() { return false; }
    // A run wrote its output (code 0) or failed to (the writer's code).
    virtual void OutputWritten(const std::string& /*path*/, int /*code*/) {}
};

// A dialog with empty fields that shows nothing and answers No, for runs
// that work unseen (probes, reports, benchmarks); each overrides what it uses.
class QuietDialog : public DialogPort {
  public:
    std::string BaseImagePath() override { return {}; }
    std::string DataFilePath() override { return {}; }
    std::string OutputImagePath() override { return {}; }
    int MethodIndex() override { return 0; }
    void SetStatus(const std::string&) override {}
    void SetProgressPosition(int) override {}
    void StepProgress() override {}
    void SetCapacityText(const std::string&) override {}
    void ShowMessage(const std::string&) override {}
    bool AskYesNo(const std::string&) override { return false; }
    std::string AskOutputFile(const std::string&) override { return {}; }
    void Pause(unsigned) override {}
};
