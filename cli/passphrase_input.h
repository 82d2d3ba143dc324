// SPDX-License-Identifier: GPL-3.0-or-later
// Where ombrel-cli takes a sealed run's passphrase from: a file named by
// --passphrase-file, or typed on the terminal with echo off. Never from the
// command line or the environment, where other users' `ps` could see it.
#pragma once

#include <string>

#include "cli/terminal_port.h"
#include "hiding/sealed.h"

enum class PassphraseResult {
    Read,      // *out holds it
    NoSource,  // no file given and standard input is no terminal
    Failed,    // unreadable file, mismatch, too long, end of input; said why
};

// From `file` when it is not empty: its first line, without the line end.
// Otherwise asked on the terminal, twice when `confirm` (an encode).
// Messages go to the port's standard error.
PassphraseResult GetPassphrase(TerminalPort& port, const std::string& file, bool confirm,
                               Passphrase* out);
