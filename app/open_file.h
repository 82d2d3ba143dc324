// SPDX-License-Identifier: GPL-3.0-or-later
// A file handed to the program at start, as a file manager or the desktop
// entry passes it: an image that carries a hidden file is set up for a
// decode, any other file as the base image of an encode.
#pragma once

#include <string>

#include "app/main_commands.h"

// Whether the file carries a payload of any method (signatures only).
bool CarriesPayload(const std::string& path);

// Puts `path` in the Input File field, or in the base image field with the
// capacity report for it.
void OpenFileCommand(MainView& view, const std::string& path);
