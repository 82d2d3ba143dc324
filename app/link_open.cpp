// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/link_open.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>

extern char** environ;

namespace {

const char* OpenErrorReason(int code) {
    switch (code) {
        case 0:
            return "The operating system is out\nof memory or resources.";
        case 2:
            return "The specified file was not found.";
        case 3:
            return "The specified path was not found.";
        case 5:
            return "The operating system denied\naccess to the specified file.";
        case 8:
            return "There was not enough memory to complete the operation.";
        case 11:
            return "The .EXE file is invalid\n(non-Win32 .EXE or error in .EXE image).";
        case 26:
            return "A sharing violation occurred. ";
        case 27:
            return "The filename association is\nincomplete or invalid.";
        case 28:
            return "The DDE transaction could not\nbe completed because the request timed out.";
        case 29:
            return "The DDE transaction failed.";
        case 30:
            return "The DDE transaction could not\nbe completed because other DDE "
                   "transactions\nwere being processed.";
        case 31:
            return "There is no application associated\nwith the given filename extension.";
        case 32:
            return "The specified dynamic-link library was not found.";
    }
    return nullptr;
}

}  // namespace

std::string OpenErrorMessage(int code) {
    const char* reason = OpenErrorReason(code);
    return std::string("Unable to open hyperlink:\n\n") +
           (reason != nullptr ? reason : "Unknown Error (" + std::to_string(code) + ") occurred.");
}

int OpenResultForExit(int exitStatus) {
    switch (exitStatus) {
        case 0:
            return kAddressOpened;
        case 2:  // xdg-open: the file or address does not exist
            return 2;
    }
    // Not startable, no browser (3), the browser failed (4), or killed.
    return kNoAssociation;
}

int OpenWithDesktop(const std::string& address) {
    std::string program = "xdg-open";
    char* const argv[] = {program.data(), const_cast<char*>(address.c_str()), nullptr};
    pid_t child = 0;
    if (::posix_spawnp(&child, "xdg-open", nullptr, nullptr, argv, environ) != 0)
        return OpenResultForExit(-1);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0)
        if (errno != EINTR) return OpenResultForExit(-1);
    return OpenResultForExit(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
}
