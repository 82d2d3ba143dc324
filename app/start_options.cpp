// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/start_options.h"

const char* const kStartHelp =
    "Usage: ombrel [FILE]\n"
    "Hides a file inside a picture and gets it back out.\n"
    "\n"
    "FILE is put in the window: an image that carries a hidden file is set up\n"
    "for a decode, any other file as the base image of an encode.\n"
    "\n"
    "  -h, --help     print this help and exit\n"
    "      --version  print the version and exit\n"
    "\n"
    "ombrel needs a graphical session; ombrel-cli does the same from a shell.\n";

StartOptions ParseStartOptions(const std::vector<std::string>& args) {
    using Action = StartOptions::Action;
    StartOptions options;
    bool version = false, optionsEnded = false;
    std::vector<std::string> files;
    for (const std::string& arg : args) {
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-")
            files.push_back(arg);
        else if (arg == "--")
            optionsEnded = true;
        else if (arg == "-h" || arg == "--help")
            return {Action::Help, {}, {}};
        else if (arg == "--version")
            version = true;
        else if (arg == "--self-test")
            options.action = Action::SelfTest;
        else if (arg == "--self-test-fields")
            options.action = Action::ShowFields;
        else if (arg == "--ui-latency")
            options.action = Action::UiLatency;
        else if (options.error.empty())
            options.error = "unrecognized option '" + arg + "'";
    }
    if (!options.error.empty()) return {Action::UsageError, {}, options.error};
    if (version) return {Action::Version, {}, {}};
    if (options.action == Action::UiLatency) {
        if (files.size() != 3) return {Action::UsageError, {}, "--ui-latency takes BASE DATA OUTPUT"};
        options.probe = files;
        return options;
    }
    if (files.size() > 1) return {Action::UsageError, {}, "only one FILE can be opened"};
    if (!files.empty()) options.file = files.front();
    return options;
}
