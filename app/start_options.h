// SPDX-License-Identifier: GPL-3.0-or-later
// The window program's command line: `ombrel [FILE]`, as the desktop entry
// starts it, plus --help and --version, which must answer without a display.
#pragma once

#include <string>
#include <vector>

struct StartOptions {
    enum class Action {
        Run,         // open the window, with `file` preset when given
        Help,        // print kStartHelp and exit 0
        Version,     // print the version and exit 0
        SelfTest,    // the test suite's check of the window
        ShowFields,  // the test suite's: print the fields once the window is up
        UiLatency,   // the benchmark's: BASE DATA OUTPUT in `probe`
        UsageError,  // print `error` and exit 2
    };
    Action action = Action::Run;
    std::string file;
    std::string error;
    std::vector<std::string> probe = {};
};

// Parses the arguments after the program name. --help wins over anything
// else, an unknown option over --version; "--" ends the options.
StartOptions ParseStartOptions(const std::vector<std::string>& args);

extern const char* const kStartHelp;
