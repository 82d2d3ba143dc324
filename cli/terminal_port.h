// SPDX-License-Identifier: GPL-3.0-or-later
// The command line's side of the runs: paths come from the arguments,
// messages go to standard error, progress is one redrawn line on a
// terminal, and the run's questions are answered from the options.
#pragma once

#include <string>

#include "hiding/dialog_port.h"

class TerminalPort : public DialogPort {
  public:
    struct Options {
        bool quiet = false;           // no progress line
        bool force = false;           // replace an existing output or extracted file
        std::string outputDirectory;  // empty: the current directory
    };
    explicit TerminalPort(const Options& options);
    ~TerminalPort() override;
    TerminalPort(const TerminalPort&) = delete;
    TerminalPort& operator=(const TerminalPort&) = delete;

    std::string baseImage, dataFile, outputImage;
    int method = 0;

    std::string BaseImagePath() override { return baseImage; }
    std::string DataFilePath() override { return dataFile; }
    std::string OutputImagePath() override { return outputImage; }
    int MethodIndex() override { return method; }

    void SetStatus(const std::string& text) override;
    void SetProgressPosition(int position) override;
    void StepProgress() override;
    void SetCapacityText(const std::string& text) override { capacityText_ = text; }

    void ShowMessage(const std::string& text) override;
    void Warn(const std::string& text) override { Say(text); }
    bool AskYesNo(const std::string& text) override;
    // Always a cancel: a script cannot answer a save-file dialog, and
    // writing somewhere the user did not name would surprise them.
    std::string AskOutputFile(const std::string& existing) override;

    void Pause(unsigned) override {}
    std::string OutputDirectory() override { return outputDirectory_; }

    // One line on standard error, clearing the progress line first.
    void Say(const std::string& text);
    // Clears the progress line, so that a result can follow on a terminal.
    void EndProgress();

    // Ends a run: reports its code, a shown message or a declined overwrite,
    // and gives the exit status (0 or 1).
    int Finish(int code);

    const std::string& capacityText() const { return capacityText_; }
    // The file the last decode wrote, escaped for showing; empty when it
    // wrote none.
    const std::string& extractedPath() const { return extracted_; }
    // Whether that file's name starts with a dot.
    bool extractedHidden() const { return hidden_; }

  private:
    void Draw();

    bool force_;
    bool interactive_;   // standard input is a terminal: questions may be asked
    bool showProgress_;  // standard error is a terminal and not quiet
    bool lineShown_ = false;
    std::string outputDirectory_;
    std::string status_;
    int position_ = 0;
    std::string capacityText_;
    std::string extracted_;
    bool hidden_ = false;
    bool refused_ = false;
    std::string declined_;  // the existing file that was left alone
};
