// SPDX-License-Identifier: GPL-3.0-or-later
// Opening the About box's web address, and the message shown when that
// fails. Codes follow the shell's convention: above 32 is success, 32 and
// below are the error numbers of the message table.
#pragma once

#include <string>
#include <vector>

constexpr int kAddressOpened = 33;
// No browser or launcher could be started for the address.
constexpr int kNoAssociation = 31;

// True when `code` counts as a successful open.
inline bool AddressOpened(int code) {
    return code > 32;
}

// "Unable to open hyperlink:\n\n" and the text for `code`.
std::string OpenErrorMessage(int code);

// The code for how the desktop's opener ended: its exit status, or -1 when
// it could not be started. A non-zero status is a failure: xdg-open exits 3
// when no browser is there to open the address.
int OpenResultForExit(int exitStatus);

// Opens the address with the desktop's opener (xdg-open, found on PATH) and
// waits for it to finish; a code as above. Blocks: call it off the window's
// thread.
int OpenWithDesktop(const std::string& address);

// Runs `argv` (the program found on PATH) and waits for it: its exit
// status, or -1 when it could not be started or did not exit.
int RunAndWait(const std::vector<std::string>& argv);

// `path` as a file:// address, every byte but letters, digits and
// "-._~/" percent-encoded.
std::string FileAddress(const std::string& path);

// Shows the file at `path` selected in the desktop's file manager
// (org.freedesktop.FileManager1.ShowItems over D-Bus), else opens its
// folder with xdg-open. False when neither worked. Blocks, as above.
bool ShowInFileManager(const std::string& path);
