// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/terminal_port.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iostream>

#include "hiding/runs.h"
#include "hiding/shown_name.h"
#include "imagelib/state.h"

namespace {

constexpr int kStages = 5;
// What ChooseOutputPath appends to the path in its question.
constexpr std::string_view kExistsQuestion = " exists\nOverwrite?\nNo to Rename";

std::string WithoutTrailingSlashes(std::string directory) {
    // "/" stays: the runs read an empty directory as the current one.
    while (directory.size() > 1 && directory.back() == '/') directory.pop_back();
    return directory;
}

}  // namespace

TerminalPort::TerminalPort(const Options& options)
    : force_(options.force),
      interactive_(::isatty(STDIN_FILENO) == 1),
      showProgress_(!options.quiet && ::isatty(STDERR_FILENO) == 1),
      outputDirectory_(WithoutTrailingSlashes(options.outputDirectory)) {}

TerminalPort::~TerminalPort() {
    EndProgress();
}

void TerminalPort::SetStatus(const std::string& text) {
    status_ = text;
    const std::string_view extracted = "Extracted ";
    if (text.starts_with(extracted)) {
        extracted_ = text.substr(extracted.size());
        hidden_ = extracted_.ends_with(kHiddenFileNote);
        if (hidden_)
            extracted_.resize(extracted_.size() - std::string_view(kHiddenFileNote).size());
    }
    Draw();
}

void TerminalPort::SetProgressPosition(int position) {
    position_ = std::clamp(position, 0, kStages);
    Draw();
}

void TerminalPort::StepProgress() {
    position_ = std::min(position_ + 1, kStages);
    Draw();
}

void TerminalPort::Draw() {
    if (!showProgress_) return;
    std::string line = "\r\x1b[K[";
    line.append(position_, '#');
    line.append(kStages - position_, ' ');
    line += "] " + std::to_string(position_) + "/" + std::to_string(kStages);
    if (!status_.empty()) line += " " + status_;
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
    lineShown_ = true;
}

void TerminalPort::EndProgress() {
    if (!lineShown_) return;
    std::fputs("\r\x1b[K", stderr);
    std::fflush(stderr);
    lineShown_ = false;
}

void TerminalPort::Say(const std::string& text) {
    EndProgress();
    std::fputs(text.c_str(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

void TerminalPort::ShowMessage(const std::string& text) {
    refused_ = true;
    Say(text);
}

bool TerminalPort::AskYesNo(const std::string& text) {
    std::string path = text;
    for (const std::string_view question : {kExistsQuestion, std::string_view(kReplaceQuestion)})
        if (text.ends_with(question)) path.resize(text.size() - question.size());
    if (force_) return true;
    if (interactive_) {
        EndProgress();
        std::fprintf(stderr, "%s exists. Overwrite? [y/N] ", path.c_str());
        std::fflush(stderr);
        std::string answer;
        if (std::getline(std::cin, answer) && (answer == "y" || answer == "Y" || answer == "yes"))
            return true;
    }
    declined_.push_back(path);
    return false;
}

void TerminalPort::OutputWritten(const std::string& path, int code) {
    if (code == 0) written_.push_back(ShownName(path));
}

std::string TerminalPort::AskOutputFile(const std::string&) {
    return {};
}

int TerminalPort::Finish(int code) {
    EndProgress();
    if (code != 0) {
        Say(PixErrorMessage(code));
        return 1;
    }
    if (refused_) return 1;
    // Entries that were left alone mean the decode is not whole.
    if (!declined_.empty() && (extracted_.empty() || entries_)) {
        for (const std::string& path : declined_) Say(path + " exists; left alone (-f replaces it)");
        return 1;
    }
    return 0;
}
