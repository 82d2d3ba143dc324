// SPDX-License-Identifier: GPL-3.0-or-later
// The desktop's recent-files list must not learn which files were hidden or
// extracted: GTK's file dialogs add every file they pick to it.
#pragma once

#include <string>

// Turns the toolkit's recent-files list off for this process. Call once the
// toolkit is started. False when it could not be turned off.
bool KeepOutOfRecentFiles();

// Whether the toolkit's recent-files list would record `path` now; used by
// the self-test to check KeepOutOfRecentFiles held.
bool RecentFilesRecord(const std::string& path);
