// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/link_open.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cctype>
#include <cerrno>
#include <cstring>

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

int RunAndWait(const std::vector<std::string>& argv) {
    if (argv.empty()) return -1;
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    pid_t child = 0;
    if (::posix_spawnp(&child, args[0], nullptr, nullptr, args.data(), environ) != 0) return -1;
    int status = 0;
    while (::waitpid(child, &status, 0) < 0)
        if (errno != EINTR) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int OpenWithDesktop(const std::string& address) {
    return OpenResultForExit(RunAndWait({"xdg-open", address}));
}

std::string FileAddress(const std::string& path) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string address = "file://";
    for (const char c : path) {
        const auto u = static_cast<unsigned char>(c);
        if (std::isalnum(u) || std::strchr("-._~/", c) != nullptr) {
            address += c;
        } else {
            address += '%';
            address += kHex[u >> 4];
            address += kHex[u & 15];
        }
    }
    return address;
}

bool ShowInFileManager(const std::string& path) {
    // A comma would split dbus-send's array; FileAddress encodes it.
    if (RunAndWait({"dbus-send", "--session", "--print-reply", "--reply-timeout=5000",
                    "--dest=org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
                    "org.freedesktop.FileManager1.ShowItems", "array:string:" + FileAddress(path),
                    "string:"}) == 0)
        return true;
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    return RunAndWait({"xdg-open", folder}) == 0;
}
